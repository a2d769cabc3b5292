// Tests of the wildcard resolver files: resolver files, backups and manifest through apply and restore.
#include "VellorinBlockerCore/WildcardResolverBlocker.hpp"

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

namespace fs = std::filesystem;

struct Sandbox {
  TemporaryDirectory root;
  HelperPaths paths = sandboxPaths(root.path());
  WildcardResolverBlocker blocker{paths, realFileSystem()};

  fs::path resolver(const std::string& domain) const { return paths.resolverDirectory / domain; }
  fs::path backup(const std::string& domain) const { return paths.resolverBackupDirectory() / (domain + ".backup"); }
  std::optional<std::string> manifest() const { return readTextFile(paths.resolverManifestPath()); }
};

TEST(WildcardResolverBlockerTest, RenderResolverFileHasSevenLines) {
  const WildcardResolverBlocker blocker(HelperPaths{}, realFileSystem());
  EXPECT_EQ(blocker.renderResolverFile("shop.example", "S1"),
            "# BEGIN VELLORIN RESOLVER BLOCK S1\ndomain shop.example\nnameserver 127.0.0.1\nport 9\ntimeout 1\n"
            "options attempts:1\n# END VELLORIN RESOLVER BLOCK\n");
}

TEST(WildcardResolverBlockerTest, ApplyWithNoDomainsTouchesNothing) {
  Sandbox sandbox;
  sandbox.blocker.apply({}, "S1");
  EXPECT_TRUE(fs::is_empty(sandbox.root.path()));
}

TEST(WildcardResolverBlockerTest, ApplyNormalisesDeduplicatesAndWritesCompactManifest) {
  Sandbox sandbox;
  sandbox.blocker.apply({"Shop.Example", "shop.example/", "", "https://*.b.example."}, "S1");
  EXPECT_EQ(readTextFile(sandbox.resolver("shop.example")), sandbox.blocker.renderResolverFile("shop.example", "S1"));
  EXPECT_EQ(readTextFile(sandbox.resolver("b.example")), sandbox.blocker.renderResolverFile("b.example", "S1"));
  EXPECT_EQ(std::distance(fs::directory_iterator(sandbox.paths.resolverDirectory), fs::directory_iterator()), 2);
  EXPECT_EQ(sandbox.manifest(), R"({"domains":["b.example","shop.example"]})");
  EXPECT_EQ(fileMode(sandbox.resolver("shop.example")), 0644u);
  EXPECT_EQ(fileMode(sandbox.paths.resolverManifestPath()), 0644u);
  EXPECT_TRUE(fs::is_directory(sandbox.paths.resolverBackupDirectory()));
}

TEST(WildcardResolverBlockerTest, ExistingResolverFileIsBackedUpAndRestoredUnchanged) {
  Sandbox sandbox;
  const std::string original = "nameserver 10.0.0.53\n";
  writeTextFile(sandbox.resolver("shop.example"), original, 0640);

  sandbox.blocker.apply({"shop.example"}, "S1");
  EXPECT_EQ(readTextFile(sandbox.backup("shop.example")), original);
  EXPECT_EQ(fileMode(sandbox.resolver("shop.example")), 0640u);  // the replaced file's mode is kept
  sandbox.blocker.apply({"shop.example"}, "S2");                   // the first backup stays
  EXPECT_EQ(readTextFile(sandbox.backup("shop.example")), original);

  sandbox.blocker.restore();
  EXPECT_EQ(readTextFile(sandbox.resolver("shop.example")), original);
  EXPECT_EQ(fileMode(sandbox.resolver("shop.example")), 0640u);
  EXPECT_FALSE(sandbox.manifest());
  EXPECT_FALSE(fs::exists(sandbox.paths.resolverBackupDirectory()));
}

TEST(WildcardResolverBlockerTest, OwnMarkedFileIsNeverTakenAsBackup) {
  Sandbox sandbox;
  sandbox.blocker.apply({"shop.example"}, "S1");
  // The manifest is lost, so the next apply cannot know the file is ours except by its marker.
  fs::remove(sandbox.paths.resolverManifestPath());
  sandbox.blocker.apply({"shop.example"}, "S2");
  EXPECT_FALSE(fs::exists(sandbox.backup("shop.example")));
  sandbox.blocker.restore();
  EXPECT_FALSE(fs::exists(sandbox.resolver("shop.example")));
}

TEST(WildcardResolverBlockerTest, ApplyMergesManifestAndRestoreRemovesEveryMarkedFile) {
  Sandbox sandbox;
  sandbox.blocker.apply({"b.example"}, "S1");
  sandbox.blocker.apply({"a.example", "c.example"}, "S2");
  EXPECT_EQ(sandbox.manifest(), R"({"domains":["a.example","b.example","c.example"]})");
  EXPECT_TRUE(sandbox.blocker.containsBlock());

  sandbox.blocker.restore();
  EXPECT_TRUE(fs::is_empty(sandbox.paths.resolverDirectory));
  EXPECT_FALSE(sandbox.manifest());
  EXPECT_FALSE(sandbox.blocker.containsBlock());
  EXPECT_TRUE(fs::is_directory(sandbox.paths.stateDirectory));  // never removed
}

TEST(WildcardResolverBlockerTest, RestoreWithoutManifestRemovesOnlyMarkedFiles) {
  Sandbox sandbox;
  const std::string marked = sandbox.blocker.renderResolverFile("x", "S0");
  writeTextFile(sandbox.resolver("marked.example"), "# note\n" + marked);
  writeTextFile(sandbox.resolver("plain.example"), "nameserver 10.0.0.53\n");
  writeTextFile(sandbox.resolver("latin1.example"), "caf\xE9\n" + marked);  // not UTF-8: not ours to judge
  fs::create_directories(sandbox.resolver("dir.example"));
  writeTextFile(sandbox.resolver("dir.example") / "inner", marked);
  EXPECT_TRUE(sandbox.blocker.containsBlock());
  EXPECT_EQ(sandbox.blocker.markedResolverDomains(), std::vector<std::string>{"marked.example"});

  sandbox.blocker.restore();
  EXPECT_FALSE(fs::exists(sandbox.resolver("marked.example")));
  EXPECT_TRUE(fs::exists(sandbox.resolver("plain.example")));
  EXPECT_TRUE(fs::exists(sandbox.resolver("latin1.example")));
  EXPECT_TRUE(fs::exists(sandbox.resolver("dir.example") / "inner"));
}

TEST(WildcardResolverBlockerTest, RestoreWithNothingThereSucceedsAndCreatesNothing) {
  Sandbox sandbox;
  EXPECT_FALSE(sandbox.blocker.containsBlock());
  EXPECT_NO_THROW(sandbox.blocker.restore());
  EXPECT_TRUE(fs::is_empty(sandbox.root.path()));
}

TEST(WildcardResolverBlockerTest, BackupIsMovedBackEvenWhenResolverDirectoryIsGone) {
  Sandbox sandbox;
  writeTextFile(sandbox.resolver("shop.example"), "original\n");
  sandbox.blocker.apply({"shop.example"}, "S1");
  fs::remove_all(sandbox.paths.resolverDirectory);

  sandbox.blocker.restore();
  EXPECT_EQ(readTextFile(sandbox.resolver("shop.example")), "original\n");
}

TEST(WildcardResolverBlockerTest, BackupDirectoryStaysWhenSomethingElseIsInIt) {
  Sandbox sandbox;
  sandbox.blocker.apply({"shop.example"}, "S1");
  writeTextFile(sandbox.paths.resolverBackupDirectory() / "keep.me", "x");
  sandbox.blocker.restore();
  EXPECT_TRUE(fs::exists(sandbox.paths.resolverBackupDirectory() / "keep.me"));
}

TEST(WildcardResolverBlockerTest, UnusableManifestCountsAsEmpty) {
  for (const std::string manifest : {"not json", R"({"other":[]})", R"({"domains":"a.example"})", R"([1,2])"}) {
    Sandbox sandbox;
    writeTextFile(sandbox.paths.resolverManifestPath(), manifest);
    EXPECT_TRUE(sandbox.blocker.containsBlock()) << manifest;
    sandbox.blocker.apply({"a.example"}, "S1");
    EXPECT_EQ(sandbox.manifest(), R"({"domains":["a.example"]})") << manifest;
    writeTextFile(sandbox.paths.resolverManifestPath(), manifest);
    sandbox.blocker.restore();
    EXPECT_FALSE(fs::exists(sandbox.resolver("a.example"))) << manifest;
    EXPECT_FALSE(sandbox.manifest()) << manifest;
  }
}

TEST(WildcardResolverBlockerTest, ManifestEntriesThatAreNotFileNamesAreIgnored) {
  Sandbox sandbox;
  const auto outside = sandbox.paths.resolverDirectory.parent_path() / "outside";
  writeTextFile(outside, sandbox.blocker.renderResolverFile("outside", "S0"));
  writeTextFile(sandbox.paths.resolverManifestPath(), R"({"domains":["../outside","",".",".."]})");
  EXPECT_NO_THROW(sandbox.blocker.restore());
  EXPECT_TRUE(fs::exists(outside));
}

// Records removals and fails the atomic write of one path with "no space left on device".
class FaultyFileSystem : public FileSystem {
 public:
  std::optional<fs::path> full;
  std::vector<fs::path> removed;

  void writeFileAtomically(const fs::path& path, std::string_view bytes, const WriteOptions& options) override {
    if (full && path == *full) throw std::system_error(ENOSPC, std::generic_category(), "write " + path.string());
    FileSystem::writeFileAtomically(path, bytes, options);
  }
  bool removeFile(const fs::path& path) override {
    removed.push_back(path);
    return FileSystem::removeFile(path);
  }
};

TEST(WildcardResolverBlockerTest, FailedApplyLeavesMarkedFilesThatRestoreFinds) {
  Sandbox sandbox;
  auto files = std::make_shared<FaultyFileSystem>();
  files->full = sandbox.resolver("b.example");
  const WildcardResolverBlocker failing(sandbox.paths, files);
  EXPECT_THROW(failing.apply({"a.example", "b.example", "c.example"}, "S1"), std::system_error);
  EXPECT_TRUE(fs::exists(sandbox.resolver("a.example")));
  EXPECT_FALSE(fs::exists(sandbox.resolver("c.example")));
  EXPECT_FALSE(sandbox.manifest());

  sandbox.blocker.restore();
  EXPECT_TRUE(fs::is_empty(sandbox.paths.resolverDirectory));
}

TEST(WildcardResolverBlockerTest, RestoreReplacesResolverFileByOneRename) {
  Sandbox sandbox;
  writeTextFile(sandbox.resolver("shop.example"), "original\n");
  sandbox.blocker.apply({"shop.example"}, "S1");

  auto files = std::make_shared<FaultyFileSystem>();
  WildcardResolverBlocker(sandbox.paths, files).restore();
  EXPECT_EQ(readTextFile(sandbox.resolver("shop.example")), "original\n");
  for (const auto& path : files->removed) EXPECT_NE(path, sandbox.resolver("shop.example"));
}

}  // namespace
}  // namespace vellorin
