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

// Restore keeps the mode, the bytes that are not UTF-8 and a link at the hosts path (the file it
// leads to is replaced), and writes nothing at all when there is nothing to strip.
TEST(HostsBlockerTest, RestoreKeepsModeBytesAndLinkAndWritesOnlyWhatChanges) {
  for (const bool linked : {false, true}) {
    for (const bool withBackup : {true, false}) {
      TemporaryDirectory root;
      auto files = std::make_shared<FaultInjectingFileSystem>(realFileSystem());
      const HostsBlocker blocker(sandboxPaths(root.path()), files);
      makeSandboxSystemDirectories(root.path());
      const auto file = linked ? root / "managed" / "hosts-real" : blocker.paths.hostsPath;
      writeTextFile(file, "caf\xE9\n\n\n", 0640);  // Latin-1, trailing blank lines
      if (linked) std::filesystem::create_symlink(file, blocker.paths.hostsPath);
      blocker.apply({"a.example"}, "S1");
      EXPECT_EQ(readTextFile(file), "caf\xE9\n\n" + blockA + "\n");
      blocker.apply({}, "S2");  // the backup stays the one taken first
      if (!withBackup) std::filesystem::remove(blocker.paths.hostsBackupPath());
      files->journal.clear();
      blocker.restore();
      EXPECT_EQ(readTextFile(file), withBackup ? "caf\xE9\n\n\n" : "caf\xE9\n");
      EXPECT_EQ(fileMode(file), 0640u);
      EXPECT_EQ(std::filesystem::is_symlink(blocker.paths.hostsPath), linked);
      const std::string name = file.filename();
      EXPECT_EQ(files->journal, std::vector<std::string>{withBackup ? "move hosts.backup " + name : "write " + name});

      files->journal.clear();
      blocker.restore();
      EXPECT_TRUE(files->journal.empty()) << "nothing to strip: nothing written";
    }
  }
  TemporaryDirectory root;
  const HostsBlocker blocker(sandboxPaths(root.path()), realFileSystem());
  makeSandboxSystemDirectories(root.path());
  blocker.restore();
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), std::string(defaultHostsContent)) << "a missing hosts file is created";
}

}  // namespace
}  // namespace vellorin
