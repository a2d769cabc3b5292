// Tests of the packet-filter anchor: rules, configuration edits, and the pf tool calls with tokens.
#include "VellorinBlockerCore/PacketFilterBlocker.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;

struct Sandbox {
  TemporaryDirectory root;
  HelperPaths paths = sandboxPaths(root.path(), false);
  RecordingRunner recorder;  // answers are configured before blocker() is called
  std::string conf = paths.pfConfPath.string();
  std::string anchorLines = "anchor \"app.vellorin.helper\"\nload anchor \"app.vellorin.helper\" from \"" +
                            paths.pfAnchorPath.string() + "\"\n";
  Sandbox() { makeSandboxSystemDirectories(root.path()); }
  PacketFilterBlocker blocker() { return PacketFilterBlocker(paths, realFileSystem(), recorder.runner()); }
};

TEST(PacketFilterBlockerTest, ApplyResolvesWritesAnchorHooksConfigurationAndKeepsLastToken) {
  Sandbox sandbox;
  sandbox.recorder.answer("/usr/bin/dscacheutil", "name: a\r\nip_address: 10.0.0.2\r\n\t ip_address:10.0.0.10 \n");
  sandbox.recorder.answer("/sbin/pfctl", "Token : old\r\nToken : 1234 \r\npf enabled\n");
  writeTextFile(sandbox.paths.pfConfPath, "\n  scrub-anchor \"com.apple/*\"\n\n", 0600);
  sandbox.blocker().apply({"a.example"});
  EXPECT_EQ(sandbox.recorder.calls(), (std::vector<RecordedCall>{
                                          {"/usr/bin/dscacheutil", {"-q", "host", "-a", "name", "a.example"}, true},
                                          {"/sbin/pfctl", {"-E", "-f", sandbox.conf, "-F", "states"}, true}}));
  const std::string rules = "block return out proto tcp from any to 10.0.0.10\nblock return out proto udp from any to "
                            "10.0.0.10\nblock return out proto tcp from any to 10.0.0.2\nblock return out proto udp "
                            "from any to 10.0.0.2\n";
  EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), "set block-policy drop\nset skip on lo0\n" + rules);
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "scrub-anchor \"com.apple/*\"\n" + sandbox.anchorLines);
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "1234 ");  // the exact remainder of the last token line
  EXPECT_EQ(fileMode(sandbox.paths.pfConfPath), 0600u);
  EXPECT_EQ(fileMode(sandbox.paths.pfTokenPath), 0644u);
}

// Restore releases the trimmed token, or disables pf when forced or without a token. pf.conf loses our
// lines, every line break splitting (CR LF gives two); one that is not UTF-8 is never rewritten.
TEST(PacketFilterBlockerTest, RestoreReleasesTrimmedTokenOrDisablesAndUnhooksTheConfiguration) {
  using Text = std::optional<std::string>;
  const std::tuple<Text, bool, Text, std::string, Text> cases[] = {
      {"\xC2\xA0tok\xE2\x80\xA8", false, "tok", "a\r\nb\n# app.vellorin.helper\n", "a\n\nb\n"},
      {"tok", true, std::nullopt, "a\n", "a\n"}, {std::nullopt, false, std::nullopt, "a\n", "a\n"},
      {" \r\n", false, std::nullopt, "a\n", "a\n"}, {"tok", false, "tok", "pass \xFF all\n", std::nullopt}};
  for (const auto& [token, force, released, conf, unhooked] : cases) {
    Sandbox sandbox;
    if (token) writeTextFile(sandbox.paths.pfTokenPath, *token);
    writeTextFile(sandbox.paths.pfConfPath, conf + sandbox.anchorLines, 0600);
    writeTextFile(sandbox.paths.pfAnchorPath, "rules\n", 0640);
    sandbox.blocker().restore(force);
    const auto arguments = released ? std::vector<std::string>{"-X", *released, "-f", sandbox.conf}
                                    : std::vector<std::string>{"-d", "-f", sandbox.conf};
    EXPECT_EQ(sandbox.recorder.calls(), (std::vector<RecordedCall>{{"/sbin/pfctl", arguments, true}}));
    EXPECT_FALSE(std::filesystem::exists(sandbox.paths.pfTokenPath));
    EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), "");
    EXPECT_EQ(fileMode(sandbox.paths.pfAnchorPath), 0640u);
    EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), unhooked.value_or(conf + sandbox.anchorLines));
    EXPECT_EQ(fileMode(sandbox.paths.pfConfPath), 0600u);
  }
}

TEST(PacketFilterBlockerTest, ApplyKeepsANonUtf8ConfigurationAndRestoreGoesOnWhenItCannotBeRead) {
  Sandbox sandbox;
  writeTextFile(sandbox.paths.pfConfPath, "pass \xFF all\n");
  sandbox.blocker().apply({});
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "pass \xFF all\n");
  std::filesystem::remove(sandbox.paths.pfConfPath);
  std::filesystem::create_directories(sandbox.paths.pfConfPath);  // cannot be read as a file
  EXPECT_NO_THROW(sandbox.blocker().restore(true));
  EXPECT_EQ(sandbox.recorder.calls().back(), (RecordedCall{"/sbin/pfctl", {"-d", "-f", sandbox.conf}, true}));
}

// The helper never enables pf itself: without a trace of its block, a restore leaves pf and both
// files exactly as they are, while any one trace still undoes the block.
TEST(PacketFilterBlockerTest, RestoreWithoutATraceOfTheBlockTouchesNothing) {
  const auto inode = [](const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
  };
  Sandbox untouched;
  writeTextFile(untouched.paths.pfConfPath, "pass out all keep state\n");
  writeTextFile(untouched.paths.pfAnchorPath, " \n");
  const auto confInode = inode(untouched.paths.pfConfPath), anchorInode = inode(untouched.paths.pfAnchorPath);
  untouched.blocker().restore(false);
  EXPECT_TRUE(untouched.recorder.calls().empty());
  EXPECT_EQ(readTextFile(untouched.paths.pfConfPath), "pass out all keep state\n");
  EXPECT_EQ(readTextFile(untouched.paths.pfAnchorPath), " \n");
  EXPECT_EQ(std::pair(inode(untouched.paths.pfConfPath), inode(untouched.paths.pfAnchorPath)), std::pair(confInode, anchorInode));
  std::filesystem::remove_all(untouched.paths.pfAnchorPath.parent_path());
  EXPECT_NO_THROW(untouched.blocker().restore(true)) << "a missing anchor directory is no failure without a trace";
  EXPECT_FALSE(std::filesystem::exists(untouched.paths.pfAnchorPath));

  for (const bool tokenLeft : {true, false}) {  // the token alone, or rules in the anchor file alone
    Sandbox traced;
    writeTextFile(traced.paths.pfConfPath, "pass out all keep state\n");
    writeTextFile(tokenLeft ? traced.paths.pfTokenPath : traced.paths.pfAnchorPath, tokenLeft ? "tok" : "block drop all\n");
    traced.blocker().restore(false);
    const auto arguments = tokenLeft ? std::vector<std::string>{"-X", "tok", "-f", traced.conf}
                                     : std::vector<std::string>{"-d", "-f", traced.conf};
    EXPECT_EQ(traced.recorder.calls(), (std::vector<RecordedCall>{{"/sbin/pfctl", arguments, true}}));
    EXPECT_EQ(readTextFile(traced.paths.pfAnchorPath), "");
  }
}

}  // namespace
}  // namespace vellorin
