// Tests of the packet-filter anchor: rules, configuration edits, and the pf tool calls with tokens.
#include "VellorinBlockerCore/PacketFilterBlocker.hpp"

#include <gtest/gtest.h>

#include <system_error>

#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using testing::RecordedCall;
using testing::RecordingRunner;
using testing::TemporaryDirectory;
using testing::fileMode;
using testing::readTextFile;
using testing::sandboxPaths;
using testing::writeTextFile;

const std::string setLines = "set block-policy drop\nset skip on lo0\n";

struct Sandbox {
  TemporaryDirectory root;
  HelperPaths paths;
  RecordingRunner recorder;

  explicit Sandbox(bool dryRun = false) : paths(sandboxPaths(root.path(), dryRun)) {
    std::filesystem::create_directories(paths.pfConfPath.parent_path());
  }
  // Configure the recorder's answers before building the blocker.
  PacketFilterBlocker blocker() { return PacketFilterBlocker(paths, realFileSystem(), recorder.runner()); }
  std::string anchorLines() const {
    return "anchor \"app.vellorin.helper\"\nload anchor \"app.vellorin.helper\" from \"" + paths.pfAnchorPath.string() +
           "\"\n";
  }
  RecordedCall enable() const { return {"/sbin/pfctl", {"-E", "-f", paths.pfConfPath.string(), "-F", "states"}, true}; }
  RecordedCall disable() const { return {"/sbin/pfctl", {"-d", "-f", paths.pfConfPath.string()}, true}; }
  RecordedCall release(const std::string& token) const {
    return {"/sbin/pfctl", {"-X", token, "-f", paths.pfConfPath.string()}, true};
  }
};

RecordedCall lookup(const std::string& domain) {
  return {"/usr/bin/dscacheutil", {"-q", "host", "-a", "name", domain}, true};
}

TEST(PacketFilterBlockerTest, RenderRulesSortsAddressesTcpBeforeUdp) {
  const PacketFilterBlocker blocker(HelperPaths{}, realFileSystem(), RecordingRunner().runner());
  EXPECT_EQ(blocker.anchorName, "app.vellorin.helper");
  EXPECT_EQ(blocker.renderRules({}), setLines);
  EXPECT_EQ(blocker.renderRules({"10.0.0.2", "10.0.0.10"}),
            setLines +
                "block return out proto tcp from any to 10.0.0.10\nblock return out proto udp from any to 10.0.0.10\n"
                "block return out proto tcp from any to 10.0.0.2\nblock return out proto udp from any to 10.0.0.2\n");
}

TEST(PacketFilterBlockerTest, ApplyResolvesWritesAnchorHooksConfigurationAndKeepsToken) {
  Sandbox sandbox;
  sandbox.recorder.handle("/usr/bin/dscacheutil", [](const std::vector<std::string>& arguments, bool) -> std::string {
    if (arguments.back() == "a.example") {
      return "name: a.example\r\nip_address: 10.0.0.2\r\n\t ip_address:10.0.0.1 \nipv6_address: ::1\n\n";
    }
    if (arguments.back() == "b.example") return "name: b.example\nip_address: 10.0.0.2\n";
    throw std::system_error(ENOENT, std::generic_category(), "spawn");  // a lookup that cannot start adds nothing
  });
  sandbox.recorder.answer("/sbin/pfctl", "No ALTQ support in kernel\r\nToken : 1234 \r\npf enabled\n");
  writeTextFile(sandbox.paths.pfConfPath, "\n  scrub-anchor \"com.apple/*\"\n\n", 0600);
  const auto blocker = sandbox.blocker();

  blocker.apply({"a.example", "b.example", "broken.example"});
  EXPECT_EQ(sandbox.recorder.calls(), (std::vector<RecordedCall>{lookup("a.example"), lookup("b.example"),
                                                                 lookup("broken.example"), sandbox.enable()}));
  EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), blocker.renderRules({"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "scrub-anchor \"com.apple/*\"\n" + sandbox.anchorLines());
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "1234 ");  // the exact remainder, untrimmed
  EXPECT_EQ(fileMode(sandbox.paths.pfConfPath), 0600u);
  EXPECT_EQ(fileMode(sandbox.paths.pfAnchorPath), 0644u);
  EXPECT_EQ(fileMode(sandbox.paths.pfTokenPath), 0644u);
  EXPECT_TRUE(blocker.containsBlock());
}

TEST(PacketFilterBlockerTest, LastTokenLineWinsAndNoTokenLineLeavesTheFile) {
  Sandbox sandbox;
  int enableCount = 0;
  sandbox.recorder.handle("/sbin/pfctl", [&enableCount](const std::vector<std::string>& arguments, bool) {
    if (arguments.front() != "-E") return std::string();
    ++enableCount;
    if (enableCount == 1) return std::string("Token : first\nToken : second\n");
    if (enableCount == 2) return std::string("Token : third");
    return std::string("pf already enabled\n");
  });
  const auto blocker = sandbox.blocker();

  blocker.apply({});
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "second");
  blocker.apply({});
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "third");
  blocker.apply({});
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "third");

  blocker.restore(false);
  EXPECT_EQ(sandbox.recorder.calls().back(), sandbox.release("third"));
  EXPECT_FALSE(std::filesystem::exists(sandbox.paths.pfTokenPath));
}

TEST(PacketFilterBlockerTest, ApplyOnMissingConfigurationStartsWithAnEmptyLine) {
  Sandbox sandbox(true);
  sandbox.blocker().apply({"a.example"});
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "\n" + sandbox.anchorLines());
}

TEST(PacketFilterBlockerTest, DryRunWritesFilesButRunsNoToolAndKeepsToken) {
  Sandbox sandbox(true);
  writeTextFile(sandbox.paths.pfTokenPath, "tok");
  const auto blocker = sandbox.blocker();
  blocker.apply({"a.example"});
  EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), setLines);
  blocker.restore(true);
  EXPECT_TRUE(sandbox.recorder.calls().empty());
  EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), "");
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "\n");
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "tok");
}

TEST(PacketFilterBlockerTest, ConfigurationNamingTheAnchorFileIsLeftByteForByte) {
  Sandbox sandbox(true);
  const std::string conf = "\r\n# rules from " + sandbox.paths.pfAnchorPath.string() + "\r\n\r\n";
  writeTextFile(sandbox.paths.pfConfPath, conf);
  sandbox.blocker().apply({});
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), conf);
}

struct RestoreCase {
  const char* name;
  std::optional<std::string> token;
  bool force;
  std::optional<std::string> released;  // the token passed to "-X", or nothing for "-d"
};

TEST(PacketFilterBlockerTest, RestoreReleasesTokenOrDisables) {
  const RestoreCase cases[] = {
      {"token with line feed", "tok-1\n", false, "tok-1"},
      {"token with Unicode blanks", "\xC2\xA0tok-2\xE2\x80\xA8", false, "tok-2"},
      {"force", "tok-3", true, std::nullopt},
      {"no token file", std::nullopt, false, std::nullopt},
      {"blank token file", " \r\n", false, std::nullopt},
      {"token not UTF-8", "\xFF\xFE", false, std::nullopt},
  };
  for (const auto& testCase : cases) {
    Sandbox sandbox;
    if (testCase.token) writeTextFile(sandbox.paths.pfTokenPath, *testCase.token);
    writeTextFile(sandbox.paths.pfConfPath, "pass all\n" + sandbox.anchorLines());
    writeTextFile(sandbox.paths.pfAnchorPath, "set skip on lo0\n", 0640);
    sandbox.blocker().restore(testCase.force);

    const auto expected = testCase.released ? sandbox.release(*testCase.released) : sandbox.disable();
    EXPECT_EQ(sandbox.recorder.calls(), std::vector<RecordedCall>{expected}) << testCase.name;
    EXPECT_FALSE(std::filesystem::exists(sandbox.paths.pfTokenPath)) << testCase.name;
    EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), "") << testCase.name;
    EXPECT_EQ(fileMode(sandbox.paths.pfAnchorPath), 0640u) << testCase.name;
    EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "pass all\n") << testCase.name;
  }
}

TEST(PacketFilterBlockerTest, RemovingAnchorLinesSplitsAtEveryLineBreakCharacter) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\r\nb\r\n", "a\n\nb\n"},
      {"  a\n\n\n", "a\n"},
      {"", "\n"},
      {"a\xE2\x80\xA8" "b\xC2\x85" "c\vd", "a\nb\nc\nd\n"},
      {"x\nload anchor \"app.vellorin.helper\" from \"/elsewhere\"\n# app.vellorin.helper was here\ny", "x\ny\n"},
  };
  for (const auto& [conf, expected] : cases) {
    Sandbox sandbox(true);
    writeTextFile(sandbox.paths.pfConfPath, conf);
    std::filesystem::create_directories(sandbox.paths.pfAnchorPath.parent_path());
    sandbox.blocker().restore(false);
    EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), expected) << conf;
  }
}

TEST(PacketFilterBlockerTest, UnreadableOrNonUtf8ConfigurationIsNeverRewritten) {
  {
    Sandbox sandbox;
    const std::string conf = "pass \xFF all\nanchor \"app.vellorin.helper\"\n";
    writeTextFile(sandbox.paths.pfConfPath, conf);
    writeTextFile(sandbox.paths.pfTokenPath, "tok");
    const auto blocker = sandbox.blocker();
    blocker.apply({});
    EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), conf);
    blocker.restore(false);
    EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), conf);
    // The rest of restore goes on.
    EXPECT_EQ(sandbox.recorder.calls().back(), sandbox.release("tok"));
    EXPECT_FALSE(std::filesystem::exists(sandbox.paths.pfTokenPath));
    EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), "");
  }
  {
    Sandbox sandbox;
    std::filesystem::create_directories(sandbox.paths.pfConfPath);  // cannot be read as a file
    const auto blocker = sandbox.blocker();
    EXPECT_NO_THROW(blocker.apply({}));
    EXPECT_NO_THROW(blocker.restore(false));
    EXPECT_TRUE(std::filesystem::is_directory(sandbox.paths.pfConfPath));
    EXPECT_FALSE(blocker.containsBlock());
  }
}

TEST(PacketFilterBlockerTest, RestoreFailuresStopAndKeepState) {
  {
    // No anchor directory: the first step fails and nothing else changes.
    Sandbox sandbox;
    const std::string conf = "pass all\n" + sandbox.anchorLines();
    writeTextFile(sandbox.paths.pfConfPath, conf);
    EXPECT_THROW(sandbox.blocker().restore(false), std::system_error);
    EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), conf);
    EXPECT_TRUE(sandbox.recorder.calls().empty());
  }
  {
    // The pf tool cannot be started: the failure passes up and the token stays for the next run.
    Sandbox sandbox;
    std::filesystem::create_directories(sandbox.paths.pfAnchorPath.parent_path());
    writeTextFile(sandbox.paths.pfTokenPath, "tok");
    sandbox.recorder.handle("/sbin/pfctl", [](const std::vector<std::string>&, bool) -> std::string {
      throw std::system_error(ENOENT, std::generic_category(), "spawn /sbin/pfctl");
    });
    EXPECT_THROW(sandbox.blocker().restore(false), std::system_error);
    EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "tok");
  }
}

TEST(PacketFilterBlockerTest, ContainsBlockLooksForTheAnchorNameInTheConfiguration) {
  Sandbox sandbox;
  const auto blocker = sandbox.blocker();
  EXPECT_FALSE(blocker.containsBlock());
  writeTextFile(sandbox.paths.pfConfPath, "pass all\n");
  EXPECT_FALSE(blocker.containsBlock());
  writeTextFile(sandbox.paths.pfConfPath, "pass all\n# see app.vellorin.helper\n");
  EXPECT_TRUE(blocker.containsBlock());
}

}  // namespace
}  // namespace vellorin
