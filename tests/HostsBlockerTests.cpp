// Tests of the hosts-file block: rendering, stripping, and apply and restore on a sandboxed hosts file.
#include "VellorinBlockerCore/HostsBlocker.hpp"

#include <gtest/gtest.h>

#include <system_error>

#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using testing::TemporaryDirectory;
using testing::fileMode;
using testing::readTextFile;
using testing::sandboxPaths;
using testing::writeTextFile;

const std::string blockAB = "# BEGIN VELLORIN BLOCK S1\n0.0.0.0\ta.example\n::\ta.example\n0.0.0.0\tb.example\n"
                            "::\tb.example\n# END VELLORIN BLOCK";

HostsBlocker sandboxBlocker(const TemporaryDirectory& root) {
  return HostsBlocker(sandboxPaths(root.path()), realFileSystem());
}

TEST(HostsBlockerTest, RenderBlockKeepsDomainOrderAndEndsWithoutLineFeed) {
  const HostsBlocker blocker(HelperPaths{}, realFileSystem());
  EXPECT_EQ(blocker.renderBlock({"a.example", "b.example"}, "S1"), blockAB);
  EXPECT_EQ(blocker.renderBlock({}, "S2"), "# BEGIN VELLORIN BLOCK S2\n# END VELLORIN BLOCK");
  EXPECT_EQ(blocker.renderBlock({"b", "a", "b"}, ""),
            "# BEGIN VELLORIN BLOCK \n0.0.0.0\tb\n::\tb\n0.0.0.0\ta\n::\ta\n0.0.0.0\tb\n::\tb\n# END VELLORIN BLOCK");
}

struct StripCase {
  const char* name;
  std::string input;
  std::string expected;
};

TEST(HostsBlockerTest, StripBlockRemovesCompleteBlocksWithTheirLineBreaks) {
  const HostsBlocker blocker(HelperPaths{}, realFileSystem());
  const std::string begin = "# BEGIN VELLORIN BLOCK";
  const std::string end = "# END VELLORIN BLOCK";
  const std::string crlfBlock = begin + " S\r\n0.0.0.0\tx\r\n" + end;
  const StripCase cases[] = {
      {"as apply leaves it", "X\n\n" + blockAB + "\n", "X\n"},
      {"only a block", blockAB, ""},
      {"block first", blockAB + "\nB", "B"},
      {"block last without break", "A\n" + blockAB, "A"},
      {"blank lines around", "A\n\n" + blockAB + "\n\nB", "A\n\nB"},
      {"CR LF around", "A\r\n\r\n" + crlfBlock + "\r\nB", "A\r\nB"},
      {"between two lines", "A\n" + blockAB + "\nB", "A\nB"},
      {"between two CR LF lines", "A\r\n" + crlfBlock + "\r\nB", "A\r\nB"},
      {"between lines, Unicode breaks", "A\xE2\x80\xA9" + blockAB + "\xE2\x80\xA9" "B", "A\xE2\x80\xA9" "B"},
      {"NEL and LS", "A\xE2\x80\xA8" + blockAB + "\xC2\x85", "A"},
      {"CR alone", "A\r\r" + blockAB + "\rB", "A\rB"},
      {"two blocks", "A\n\n" + blockAB + "\nB\n\n" + blockAB + "\n", "A\nB\n"},
      {"orphan begin stays", "A\n" + begin + " old\nB\n", "A\n" + begin + " old\nB\n"},
      {"orphan begin before a block swallows up to its end", "A\n\n" + begin + " old\nB\n\n" + blockAB + "\nC",
       "A\nC"},
      {"end before any begin stays", end + "\nA\n\n" + blockAB + "\n", end + "\nA\n"},
      {"nested: inner end closes, outer end stays", "A\n\n" + begin + " 1\n" + begin + " 2\nx\n" + end + "\n" + end +
                                                        "\nC",
       "A\n" + end + "\nC"},
      {"session id goes with the block", "A\n\n" + begin + "anything\n" + end + "\n", "A\n"},
      {"not UTF-8", "\xFF\xFE junk\n\n" + blockAB + "\n\xC3", "\xFF\xFE junk\n\xC3"},
      {"no block", "127.0.0.1\tlocalhost\n", "127.0.0.1\tlocalhost\n"},
  };
  for (const auto& testCase : cases) {
    EXPECT_EQ(blocker.stripBlock(testCase.input), testCase.expected) << testCase.name;
  }
}

TEST(HostsBlockerTest, ApplyOnMissingHostsFileUsesDefaultContentAndRestoreReturnsToIt) {
  TemporaryDirectory root;
  const auto blocker = sandboxBlocker(root);
  std::filesystem::create_directories(blocker.paths.hostsPath.parent_path());

  blocker.apply({"a.example", "b.example"}, "S1");
  EXPECT_FALSE(std::filesystem::exists(blocker.paths.hostsBackupPath()));
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "127.0.0.1\tlocalhost\n::1\tlocalhost\n\n" + blockAB + "\n");
  EXPECT_EQ(fileMode(blocker.paths.hostsPath), 0644u);
  EXPECT_TRUE(blocker.containsBlock());

  blocker.restore();
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), std::string(defaultHostsContent));
  EXPECT_FALSE(blocker.containsBlock());
}

TEST(HostsBlockerTest, RestoreWithoutBackupStripsAndKeepsOneSeparatorLineFeed) {
  for (const std::string original : {"X", "X\n\n\n", "  X \t\n"}) {
    TemporaryDirectory root;
    const auto blocker = sandboxBlocker(root);
    writeTextFile(blocker.paths.hostsPath, original);
    blocker.apply({"a.example"}, "S1");
    std::filesystem::remove(blocker.paths.hostsBackupPath());
    blocker.restore();
    EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "X\n") << original;
  }
}

TEST(HostsBlockerTest, RepeatedApplyKeepsFirstBackupAndOneBlock) {
  TemporaryDirectory root;
  const auto blocker = sandboxBlocker(root);
  const std::string original = "127.0.0.1\tlocalhost\n10.0.0.1\tnas\n";
  writeTextFile(blocker.paths.hostsPath, original);

  blocker.apply({"a.example"}, "S1");
  blocker.apply({"b.example"}, "S2");
  EXPECT_EQ(readTextFile(blocker.paths.hostsBackupPath()), original);
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath),
            "127.0.0.1\tlocalhost\n10.0.0.1\tnas\n\n# BEGIN VELLORIN BLOCK S2\n0.0.0.0\tb.example\n::\tb.example\n"
            "# END VELLORIN BLOCK\n");

  blocker.restore();
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), original);
  EXPECT_FALSE(std::filesystem::exists(blocker.paths.hostsBackupPath()));
}

TEST(HostsBlockerTest, ApplyAfterOrphanBeginMarkerAppendsBelowIt) {
  TemporaryDirectory root;
  const auto blocker = sandboxBlocker(root);
  writeTextFile(blocker.paths.hostsPath, "A\n# BEGIN VELLORIN BLOCK old\n");
  blocker.apply({}, "S1");
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath),
            "A\n# BEGIN VELLORIN BLOCK old\n\n# BEGIN VELLORIN BLOCK S1\n# END VELLORIN BLOCK\n");
}

// Records removals so a test can tell "remove then move" from a single rename.
class RemovalRecordingFileSystem : public FileSystem {
 public:
  bool removeFile(const std::filesystem::path& path) override {
    removed.push_back(path);
    return FileSystem::removeFile(path);
  }
  std::vector<std::filesystem::path> removed;
};

TEST(HostsBlockerTest, RestoreRenamesBackupOverHostsFileWithoutRemovingItFirst) {
  TemporaryDirectory root;
  auto files = std::make_shared<RemovalRecordingFileSystem>();
  const HostsBlocker blocker(sandboxPaths(root.path()), files);
  writeTextFile(blocker.paths.hostsPath, "edited later, no block\n");
  writeTextFile(blocker.paths.hostsBackupPath(), "original\n", 0640);

  blocker.restore();
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "original\n");
  EXPECT_EQ(fileMode(blocker.paths.hostsPath), 0640u);
  EXPECT_FALSE(std::filesystem::exists(blocker.paths.hostsBackupPath()));
  EXPECT_TRUE(files->removed.empty());

  // A restore interrupted after the hosts file went missing still completes from the backup.
  writeTextFile(blocker.paths.hostsBackupPath(), "original\n");
  std::filesystem::remove(blocker.paths.hostsPath);
  blocker.restore();
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "original\n");
}

TEST(HostsBlockerTest, RewritesKeepTheHostsFileMode) {
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0644}}) {
    TemporaryDirectory root;
    const auto blocker = sandboxBlocker(root);
    writeTextFile(blocker.paths.hostsPath, "127.0.0.1\tlocalhost\n", mode);
    blocker.apply({"a.example"}, "S1");
    EXPECT_EQ(fileMode(blocker.paths.hostsPath), mode);
    EXPECT_EQ(fileMode(blocker.paths.hostsBackupPath()), mode);
    std::filesystem::remove(blocker.paths.hostsBackupPath());
    blocker.restore();
    EXPECT_EQ(fileMode(blocker.paths.hostsPath), mode);
  }
}

TEST(HostsBlockerTest, RestoreOfHostsFileThatIsNotUtf8Succeeds) {
  TemporaryDirectory root;
  const auto blocker = sandboxBlocker(root);
  writeTextFile(blocker.paths.hostsPath, "10.0.0.1\tcaf\xE9\n\n" + blockAB + "\n");
  EXPECT_TRUE(blocker.containsBlock());
  blocker.restore();
  EXPECT_EQ(readTextFile(blocker.paths.hostsPath), "10.0.0.1\tcaf\xE9\n");
}

TEST(HostsBlockerTest, ContainsBlockLooksOnlyForTheBeginMarker) {
  TemporaryDirectory root;
  const auto blocker = sandboxBlocker(root);
  EXPECT_FALSE(blocker.containsBlock());  // missing
  writeTextFile(blocker.paths.hostsPath, "# END VELLORIN BLOCK\n");
  EXPECT_FALSE(blocker.containsBlock());
  writeTextFile(blocker.paths.hostsPath, "x # BEGIN VELLORIN BLOCK");
  EXPECT_TRUE(blocker.containsBlock());
  std::filesystem::remove(blocker.paths.hostsPath);
  std::filesystem::create_directory(blocker.paths.hostsPath);
  EXPECT_FALSE(blocker.containsBlock());  // unreadable
}

// Fails the atomic write of one path with "no space left on device".
class FullDiskFileSystem : public FileSystem {
 public:
  explicit FullDiskFileSystem(std::filesystem::path full) : full_(std::move(full)) {}
  void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                           const WriteOptions& options) override {
    if (path == full_) throw std::system_error(ENOSPC, std::generic_category(), "write " + path.string());
    FileSystem::writeFileAtomically(path, bytes, options);
  }

 private:
  std::filesystem::path full_;
};

TEST(HostsBlockerTest, ApplyThatFailsToWriteLeavesTheBackupForRestore) {
  TemporaryDirectory root;
  const auto paths = sandboxPaths(root.path());
  const std::string original = "127.0.0.1\tlocalhost\n";
  writeTextFile(paths.hostsPath, original);

  const HostsBlocker failing(paths, std::make_shared<FullDiskFileSystem>(paths.hostsPath));
  try {
    failing.apply({"a.example"}, "S1");
    FAIL() << "apply should fail";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOSPC);
  }
  EXPECT_EQ(readTextFile(paths.hostsPath), original);
  EXPECT_EQ(readTextFile(paths.hostsBackupPath()), original);

  HostsBlocker(paths, realFileSystem()).restore();
  EXPECT_EQ(readTextFile(paths.hostsPath), original);
  EXPECT_FALSE(std::filesystem::exists(paths.hostsBackupPath()));
}

}  // namespace
}  // namespace vellorin
