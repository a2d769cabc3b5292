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
      {"A\r\n\r\n" + crlfBlock + "\r\nB", "A\r\nB"},
      {"A\n\n" + blockA + "\n\nB", "A\n\nB"},
      {"A\n" + blockA + "\nB", "A\nB"},                                  // between two lines: they must not be joined
      {"\r\n" + crlfBlock + "\r\n", ""},                                 // CR LF is one break, also right at either end
      {"A\n" + begin + " orphan\nB\n", "A\n" + begin + " orphan\nB\n"},  // no end: nothing to take
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(blocker.stripBlock(input), expected) << input;
}

// Restore keeps the mode, the bytes that are not UTF-8 and a link at the hosts path (the file it
// leads to is replaced), and writes nothing at all when there is nothing to strip.
TEST(HostsBlockerTest, RestoreKeepsModeBytesAndLinkAndWritesOnlyWhatChanges) {
  for (const bool linked : {false, true}) {
    for (const bool withBackup : {true, false}) {
      TemporaryDirectory root;
      auto fileManager = std::make_shared<FaultInjectingFileSystem>(realFileSystem());
      const HostsBlocker blocker(sandboxPaths(root.path()), fileManager);
      makeSandboxSystemDirectories(root.path());
      const auto file = linked ? root / "managed" / "hosts-real" : blocker.paths.hostsPath;
      writeTextFile(file, "caf\xE9\xE0\x80\xA0\n\n\n", 0640);  // Latin-1 and an overlong space, blank lines
      if (linked) std::filesystem::create_symlink(file, blocker.paths.hostsPath);
      blocker.apply({"a.example"}, "S1");
      blocker.apply({}, "S2");  // the backup stays the one taken first
      if (!withBackup) std::filesystem::remove(blocker.paths.hostsBackupPath());
      fileManager->journal.clear();
      blocker.restore();
      EXPECT_EQ(
          std::tuple(readTextFile(file), fileMode(file), std::filesystem::is_symlink(blocker.paths.hostsPath)),
          std::tuple(std::optional<std::string>(withBackup ? "caf\xE9\xE0\x80\xA0\n\n\n" : "caf\xE9\xE0\x80\xA0\n"),
                     mode_t{0640}, linked));
      const std::string name = file.filename();
      EXPECT_EQ(fileManager->journal,
                std::vector<std::string>{withBackup ? "move hosts.backup " + name : "write " + name});

      fileManager->journal.clear();
      blocker.restore();
      EXPECT_TRUE(fileManager->journal.empty()) << "nothing to strip: nothing written";
    }
  }
}

}  // namespace
}  // namespace vellorin
