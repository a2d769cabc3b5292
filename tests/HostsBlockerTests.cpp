// Tests of the hosts-file block: stripping, and apply and restore on a sandboxed hosts file.
#include "VellorinBlockerCore/HostsBlocker.hpp"

#include <gtest/gtest.h>

#include "support/FaultInjectingFileSystem.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;

const std::string begin = "# BEGIN VELLORIN BLOCK", end = "# END VELLORIN BLOCK";
const std::string blockA = begin + " S1\n0.0.0.0\ta.example\n::\ta.example\n" + end;

TEST(HostsBlockerTest, StripBlockRemovesCompleteBlocksWithTheirLineBreaks) {
  const HostsBlocker blocker(HelperPaths{}, realFileSystem());
  const std::string crlfBlock = begin + " S\r\n0.0.0.0\tx\r\n" + end;
  const std::pair<std::string, std::string> cases[] = {
      {"A\n\n" + blockA + "\n\nB", "A\n\nB"},
      {"A\n" + blockA + "\nB", "A\nB"},  // between two lines: they must not be joined
      {"A\r\n\r\n" + crlfBlock + "\r\nB", "A\r\nB"},
      {"\r\n" + crlfBlock + "\r\n", ""},  // CR LF is one break, also right at either end
      {"A\n" + begin + " orphan\nB\n", "A\n" + begin + " orphan\nB\n"},
      {"A\n\n" + begin + " orphan\nB\n\n" + blockA + "\nC", "A\nC"},
      {end + "\nA\n\n" + blockA + "\n\n" + blockA, end + "\nA\n"},
      {"A\n\n" + begin + " 1\n" + begin + " 2\n" + end + "\n" + end + "\nC", "A\n" + end + "\nC"},  // nested
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(blocker.stripBlock(input), expected) << input;
}

TEST(HostsBlockerTest, RestoreKeepsModeAndNonUtf8Bytes) {
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}}) {
    for (const bool withBackup : {true, false}) {
      TemporaryDirectory root;
      auto files = std::make_shared<FaultInjectingFileSystem>(realFileSystem());
      const HostsBlocker blocker(sandboxPaths(root.path()), files);
      writeTextFile(blocker.paths.hostsPath, "caf\xE9\n\n\n", mode);  // Latin-1, trailing blank lines
      blocker.apply({"a.example"}, "S1");
      EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "caf\xE9\n\n" + blockA + "\n");
      blocker.apply({}, "S2");  // the backup stays the one taken first
      EXPECT_EQ(fileMode(blocker.paths.hostsPath), mode);
      if (!withBackup) std::filesystem::remove(blocker.paths.hostsBackupPath());
      files->journal.clear();
      blocker.restore();
      EXPECT_EQ(readTextFile(blocker.paths.hostsPath), withBackup ? "caf\xE9\n\n\n" : "caf\xE9\n");
      EXPECT_EQ(fileMode(blocker.paths.hostsPath), mode);
      EXPECT_EQ(files->journal, std::vector<std::string>{withBackup ? "move hosts.backup hosts" : "write hosts"});
    }
  }
}

}  // namespace
}  // namespace vellorin
