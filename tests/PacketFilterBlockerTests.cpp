// Tests of the packet-filter anchor: rules, configuration edits, and the pf tool calls with tokens.
#include "VellorinBlockerCore/PacketFilterBlocker.hpp"

#include <gtest/gtest.h>

#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;

struct Sandbox {
  TemporaryDirectory root;
  HelperPaths paths;
  RecordingRunner recorder;  // answers are configured before blocker() is called
  std::string conf, anchorLines;

  explicit Sandbox(bool dryRun = false) : paths(sandboxPaths(root.path(), dryRun)), conf(paths.pfConfPath.string()) {
    std::filesystem::create_directories(paths.pfAnchorPath.parent_path());
    anchorLines = "anchor \"app.vellorin.helper\"\nload anchor \"app.vellorin.helper\" from \"" +
                  paths.pfAnchorPath.string() + "\"\n";
  }
  PacketFilterBlocker blocker() { return PacketFilterBlocker(paths, realFileSystem(), recorder.runner()); }
};

TEST(PacketFilterBlockerTest, ApplyResolvesWritesAnchorHooksConfigurationAndKeepsLastToken) {
  Sandbox sandbox;
  sandbox.recorder.handle("/usr/bin/dscacheutil", [](const std::vector<std::string>& arguments, bool) -> std::string {
    if (arguments.back() == "a") return "name: a\r\nip_address: 10.0.0.2\r\n\t ip_address:10.0.0.10 \nipv6_address: ::1\n";
    if (arguments.back() == "b") return "ip_address: 10.0.0.2\n";
    throw std::system_error(ENOENT, std::generic_category(), "spawn");  // a lookup that cannot start adds nothing
  });
  sandbox.recorder.answer("/sbin/pfctl", "Token : old\r\nToken : 1234 \r\npf enabled\n");
  writeTextFile(sandbox.paths.pfConfPath, "\n  scrub-anchor \"com.apple/*\"\n\n", 0600);
  sandbox.blocker().apply({"a", "b", "c"});

  const auto lookup = [](std::string domain) {
    return RecordedCall{"/usr/bin/dscacheutil", {"-q", "host", "-a", "name", std::move(domain)}, true};
  };
  EXPECT_EQ(sandbox.recorder.calls(), (std::vector<RecordedCall>{lookup("a"), lookup("b"), lookup("c"),
                                                                 {"/sbin/pfctl", {"-E", "-f", sandbox.conf, "-F", "states"}, true}}));
  EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath),
            "set block-policy drop\nset skip on lo0\nblock return out proto tcp from any to 10.0.0.10\nblock return "
            "out proto udp from any to 10.0.0.10\nblock return out proto tcp from any to 10.0.0.2\nblock return out "
            "proto udp from any to 10.0.0.2\n");
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "scrub-anchor \"com.apple/*\"\n" + sandbox.anchorLines);
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "1234 ");  // the exact remainder of the last token line
  EXPECT_EQ(fileMode(sandbox.paths.pfConfPath), 0600u);
  EXPECT_EQ(fileMode(sandbox.paths.pfTokenPath), 0644u);
}

TEST(PacketFilterBlockerTest, DryRunEditsFilesOnlyAndKeepsAConfigurationNamingTheAnchorFile) {
  Sandbox sandbox(true);
  writeTextFile(sandbox.paths.pfTokenPath, "tok");
  const auto blocker = sandbox.blocker();
  blocker.apply({"a.example"});
  EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), "set block-policy drop\nset skip on lo0\n");
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "\n" + sandbox.anchorLines);
  const std::string named = "\r\n# rules in " + sandbox.paths.pfAnchorPath.string() + "\r\n";
  writeTextFile(sandbox.paths.pfConfPath, named);
  blocker.apply({});
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), named);
  blocker.restore(true);
  EXPECT_TRUE(sandbox.recorder.calls().empty());
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "tok");
}

TEST(PacketFilterBlockerTest, RestoreReleasesTokenOrDisables) {
  const std::tuple<std::optional<std::string>, bool, std::optional<std::string>> cases[] = {
      {"tok-1\n", false, "tok-1"}, {"\xC2\xA0tok-2\xE2\x80\xA8", false, "tok-2"},
      {"tok-3", true, std::nullopt}, {std::nullopt, false, std::nullopt}, {" \r\n", false, std::nullopt}};
  for (const auto& [token, force, released] : cases) {
    Sandbox sandbox;
    if (token) writeTextFile(sandbox.paths.pfTokenPath, *token);
    writeTextFile(sandbox.paths.pfConfPath, "a\r\nb\n# app.vellorin.helper\n" + sandbox.anchorLines);
    writeTextFile(sandbox.paths.pfAnchorPath, "rules\n", 0640);
    sandbox.blocker().restore(force);
    const auto arguments = released ? std::vector<std::string>{"-X", *released, "-f", sandbox.conf}
                                    : std::vector<std::string>{"-d", "-f", sandbox.conf};
    EXPECT_EQ(sandbox.recorder.calls(), (std::vector<RecordedCall>{{"/sbin/pfctl", arguments, true}}));
    EXPECT_FALSE(std::filesystem::exists(sandbox.paths.pfTokenPath));
    EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), "");
    EXPECT_EQ(fileMode(sandbox.paths.pfAnchorPath), 0640u);
    EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "a\n\nb\n");  // every break splits, CR LF gives two
  }
}

TEST(PacketFilterBlockerTest, UnreadableOrNonUtf8ConfigurationIsNeverRewritten) {
  Sandbox sandbox;
  const std::string conf = "pass \xFF all\nanchor \"app.vellorin.helper\"\n";
  writeTextFile(sandbox.paths.pfConfPath, conf);
  writeTextFile(sandbox.paths.pfTokenPath, "tok");
  const auto blocker = sandbox.blocker();
  blocker.apply({});
  blocker.restore(false);
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), conf);
  EXPECT_EQ(sandbox.recorder.calls().back(), (RecordedCall{"/sbin/pfctl", {"-X", "tok", "-f", sandbox.conf}, true}));
  std::filesystem::remove(sandbox.paths.pfConfPath);
  std::filesystem::create_directories(sandbox.paths.pfConfPath);  // cannot be read as a file
  EXPECT_NO_THROW(blocker.restore(false));
}

TEST(PacketFilterBlockerTest, RestoreWithoutAnchorDirectoryChangesNothing) {
  Sandbox sandbox;
  std::filesystem::remove(sandbox.paths.pfAnchorPath.parent_path());
  writeTextFile(sandbox.paths.pfConfPath, sandbox.anchorLines);
  EXPECT_THROW(sandbox.blocker().restore(false), std::system_error);
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), sandbox.anchorLines);
  EXPECT_TRUE(sandbox.recorder.calls().empty());
}

}  // namespace
}  // namespace vellorin
