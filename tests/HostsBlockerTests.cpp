// Tests of the hosts-file block: stripping, and apply and restore on a sandboxed hosts file.
#include "VellorinBlockerCore/HostsBlocker.hpp"

#include <gtest/gtest.h>

#include "support/JournalFileSystem.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;

const std::string begin = "# BEGIN VELLORIN BLOCK", end = "# END VELLORIN BLOCK";
const std::string blockAB = begin + " S1\n0.0.0.0\ta.example\n::\ta.example\n0.0.0.0\tb.example\n::\tb.example\n" + end;

TEST(HostsBlockerTest, StripBlockRemovesCompleteBlocksWithTheirLineBreaks) {
  const HostsBlocker blocker(HelperPaths{}, realFileSystem());
  const std::string crlfBlock = begin + " S\r\n0.0.0.0\tx\r\n" + end;
  const std::pair<std::string, std::string> cases[] = {
      {"X\n\n" + blockAB + "\n", "X\n"},
      {"A\n\n" + blockAB + "\n\nB", "A\n\nB"},
      {"A\r\n\r\n" + crlfBlock + "\r\nB", "A\r\nB"},
      {"A\n" + blockAB + "\nB", "A\nB"},  // between two lines: they must not be joined
      {"A\r\n" + crlfBlock + "\r\nB", "A\r\nB"},
      {"A\xE2\x80\xA9" + blockAB + "\xE2\x80\xA9" "B", "A\xE2\x80\xA9" "B"},
      {"A\xE2\x80\xA8" + blockAB + "\xC2\x85", "A"},
      {"A\n" + begin + " orphan\nB\n", "A\n" + begin + " orphan\nB\n"},
      {"A\n\n" + begin + " orphan\nB\n\n" + blockAB + "\nC", "A\nC"},
      {end + "\nA\n\n" + blockAB + "\n\n" + blockAB, end + "\nA\n"},
      {"A\n\n" + begin + " 1\n" + begin + " 2\n" + end + "\n" + end + "\nC", "A\n" + end + "\nC"},  // nested
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(blocker.stripBlock(input), expected) << input;
}

TEST(HostsBlockerTest, ApplyAndRestoreWithoutHostsFileUseDefaultContent) {
  TemporaryDirectory root;
  const HostsBlocker blocker(sandboxPaths(root.path()), realFileSystem());
  std::filesystem::create_directories(blocker.paths.hostsPath.parent_path());
  EXPECT_FALSE(blocker.containsBlock());
  blocker.apply({"a.example", "b.example"}, "S1");
  EXPECT_FALSE(std::filesystem::exists(blocker.paths.hostsBackupPath()));
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "127.0.0.1\tlocalhost\n::1\tlocalhost\n\n" + blockAB + "\n");
  EXPECT_EQ(fileMode(blocker.paths.hostsPath), 0644u);
  EXPECT_TRUE(blocker.containsBlock());
  blocker.restore();
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), std::string(defaultHostsContent));
}

TEST(HostsBlockerTest, RestoreWithoutBackupKeepsModeBytesAndOneSeparator) {
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}}) {
    TemporaryDirectory root;
    const HostsBlocker blocker(sandboxPaths(root.path()), realFileSystem());
    writeTextFile(blocker.paths.hostsPath, "caf\xE9\n\n\n", mode);  // Latin-1, trailing blank lines
    blocker.apply({"a.example"}, "S1");
    EXPECT_EQ(fileMode(blocker.paths.hostsPath), mode);
    std::filesystem::remove(blocker.paths.hostsBackupPath());
    blocker.restore();
    EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "caf\xE9\n");
    EXPECT_EQ(fileMode(blocker.paths.hostsPath), mode);
  }
}

TEST(HostsBlockerTest, RestoreRenamesTheFirstBackupOverTheHostsFile) {
  TemporaryDirectory root;
  auto files = std::make_shared<JournalFileSystem>();
  const HostsBlocker blocker(sandboxPaths(root.path()), files);
  writeTextFile(blocker.paths.hostsPath, "original\n", 0640);
  blocker.apply({"a.example"}, "S1");
  blocker.apply({}, "S2");
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "original\n\n" + begin + " S2\n" + end + "\n");
  files->journal.clear();
  blocker.restore();
  EXPECT_EQ(files->journal, std::vector<std::string>{"move hosts.backup hosts"});
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "original\n");
  EXPECT_EQ(fileMode(blocker.paths.hostsPath), 0640u);
}

}  // namespace
}  // namespace vellorin
