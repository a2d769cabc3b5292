// Tests of the wildcard resolver files: resolver files, backups and manifest through apply and restore.
#include "VellorinBlockerCore/WildcardResolverBlocker.hpp"

#include <gtest/gtest.h>

#include "support/JournalFileSystem.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;
namespace fs = std::filesystem;

struct Sandbox {
  TemporaryDirectory root;
  HelperPaths paths = sandboxPaths(root.path());
  std::shared_ptr<JournalFileSystem> files = std::make_shared<JournalFileSystem>();
  WildcardResolverBlocker blocker{paths, files};

  fs::path resolver(const std::string& domain) const { return paths.resolverDirectory / domain; }
  std::optional<std::string> manifest() const { return readTextFile(paths.resolverManifestPath()); }
};

TEST(WildcardResolverBlockerTest, ApplyWritesNormalisedResolverFilesAndMergedCompactManifest) {
  Sandbox sandbox;
  sandbox.blocker.apply({}, "S0");
  EXPECT_TRUE(fs::is_empty(sandbox.root.path()));
  sandbox.blocker.apply({"c.example"}, "S1");
  sandbox.blocker.apply({"Shop.Example", "shop.example/", "", "https://*.b.example."}, "S2");
  EXPECT_EQ(readTextFile(sandbox.resolver("shop.example")),
            "# BEGIN VELLORIN RESOLVER BLOCK S2\ndomain shop.example\nnameserver 127.0.0.1\nport 9\ntimeout 1\n"
            "options attempts:1\n# END VELLORIN RESOLVER BLOCK\n");
  EXPECT_EQ(sandbox.manifest(), R"({"domains":["b.example","c.example","shop.example"]})");
  EXPECT_EQ(fileMode(sandbox.paths.resolverManifestPath()), 0644u);

  sandbox.blocker.restore();
  EXPECT_TRUE(fs::is_empty(sandbox.paths.resolverDirectory));
  EXPECT_FALSE(fs::exists(sandbox.paths.resolverBackupDirectory()));
  EXPECT_FALSE(sandbox.blocker.containsBlock());
}

TEST(WildcardResolverBlockerTest, ForeignFileIsBackedUpOnceAndRenamedBack) {
  Sandbox sandbox;
  writeTextFile(sandbox.resolver("shop.example"), "nameserver 10.0.0.53\n", 0640);
  sandbox.blocker.apply({"shop.example"}, "S1");
  sandbox.blocker.apply({"shop.example"}, "S2");
  EXPECT_EQ(fileMode(sandbox.resolver("shop.example")), 0640u);
  writeTextFile(sandbox.paths.resolverBackupDirectory() / "keep.me", "x");
  fs::remove_all(sandbox.paths.resolverDirectory);  // the backup still comes back

  sandbox.files->journal.clear();
  sandbox.blocker.restore();
  EXPECT_EQ(readTextFile(sandbox.resolver("shop.example")), "nameserver 10.0.0.53\n");
  EXPECT_EQ(fileMode(sandbox.resolver("shop.example")), 0640u);
  EXPECT_EQ(sandbox.files->journal, (std::vector<std::string>{"move shop.example.backup shop.example",
                                                              "remove resolver-manifest.json"}));
  EXPECT_TRUE(fs::exists(sandbox.paths.resolverBackupDirectory() / "keep.me"));
}

TEST(WildcardResolverBlockerTest, OwnMarkedFileIsNeverTakenAsBackup) {
  Sandbox sandbox;
  sandbox.blocker.apply({"shop.example"}, "S1");
  fs::remove(sandbox.paths.resolverManifestPath());  // only the marker tells the file is ours now
  sandbox.blocker.apply({"shop.example"}, "S2");
  sandbox.blocker.restore();
  EXPECT_FALSE(fs::exists(sandbox.resolver("shop.example")));
}

TEST(WildcardResolverBlockerTest, RestoreFindsMarkedFilesAndIgnoresForeignOnes) {
  Sandbox sandbox;
  EXPECT_NO_THROW(sandbox.blocker.restore());  // nothing there at all
  EXPECT_TRUE(fs::is_empty(sandbox.root.path()));

  const std::string marked = sandbox.blocker.renderResolverFile("x", "S0");
  writeTextFile(sandbox.resolver("marked.example"), "# note\n" + marked);
  writeTextFile(sandbox.resolver("plain.example"), "nameserver 10.0.0.53\n");
  writeTextFile(sandbox.resolver("latin1.example"), "caf\xE9\n" + marked);
  writeTextFile(sandbox.resolver("../outside"), marked);
  // An unusable manifest counts as empty; names that are no single file name are never followed.
  for (const std::string manifest : {R"({"domains":"x"})", R"({"domains":["../outside",".."]})"}) {
    writeTextFile(sandbox.paths.resolverManifestPath(), manifest);
    EXPECT_TRUE(sandbox.blocker.containsBlock());
    sandbox.blocker.restore();
    EXPECT_FALSE(sandbox.manifest());
  }
  EXPECT_FALSE(fs::exists(sandbox.resolver("marked.example")));
  for (const auto* kept : {"plain.example", "latin1.example", "../outside"}) {
    EXPECT_TRUE(fs::exists(sandbox.resolver(kept))) << kept;
  }
}

TEST(WildcardResolverBlockerTest, FailedApplyLeavesMarkedFilesThatRestoreFinds) {
  Sandbox sandbox;
  sandbox.files->full = sandbox.resolver("b.example");
  EXPECT_THROW(sandbox.blocker.apply({"a.example", "b.example"}, "S1"), std::system_error);
  EXPECT_TRUE(fs::exists(sandbox.resolver("a.example")));
  EXPECT_FALSE(sandbox.manifest());
  sandbox.blocker.restore();
  EXPECT_TRUE(fs::is_empty(sandbox.paths.resolverDirectory));
}

}  // namespace
}  // namespace vellorin
