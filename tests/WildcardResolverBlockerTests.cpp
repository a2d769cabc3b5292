// Tests of the wildcard resolver files: resolver files, backups and manifest through apply and restore.
#include "VellorinBlockerCore/WildcardResolverBlocker.hpp"

#include <gtest/gtest.h>

#include "support/FaultInjectingFileSystem.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;
namespace fs = std::filesystem;

struct Sandbox {
  TemporaryDirectory root;
  HelperPaths paths = sandboxPaths(root.path());
  std::shared_ptr<FaultInjectingFileSystem> files = std::make_shared<FaultInjectingFileSystem>(realFileSystem());
  WildcardResolverBlocker blocker{paths, files};
  fs::path resolver(const std::string& domain) const { return paths.resolverDirectory / domain; }
};

TEST(WildcardResolverBlockerTest, ForeignFileIsBackedUpOnceAndRenamedBack) {
  Sandbox sandbox;
  writeTextFile(sandbox.resolver("shop.example"), "nameserver 10.0.0.53\n", 0640);
  sandbox.blocker.apply({"c.example", "shop.example"}, "S1");
  sandbox.blocker.apply({"Shop.Example", "https://*.shop.example."}, "S2");  // the backup is taken once
  EXPECT_EQ(readTextFile(sandbox.resolver("shop.example")),
            "# BEGIN VELLORIN RESOLVER BLOCK S2\ndomain shop.example\nnameserver 127.0.0.1\nport 9\ntimeout 1\n"
            "options attempts:1\n# END VELLORIN RESOLVER BLOCK\n");
  EXPECT_EQ(fileMode(sandbox.resolver("shop.example")), 0640u);
  EXPECT_EQ(readTextFile(sandbox.paths.resolverManifestPath()), R"({"domains":["c.example","shop.example"]})");
  sandbox.files->journal.clear();
  sandbox.blocker.restore();
  EXPECT_EQ(readTextFile(sandbox.resolver("shop.example")), "nameserver 10.0.0.53\n");
  EXPECT_EQ(sandbox.files->journal,
            (std::vector<std::string>{"remove c.example", "move shop.example.backup shop.example",
                                      "remove resolver-manifest.json", "remove resolver-backups"}));
}

TEST(WildcardResolverBlockerTest, RestoreFindsOurMarkedFilesWithoutFollowingUnsafeNames) {
  Sandbox sandbox;
  sandbox.blocker.apply({"shop.example"}, "S1");
  fs::remove(sandbox.paths.resolverManifestPath());  // only the marker tells the file is ours now
  sandbox.blocker.apply({"shop.example"}, "S2");     // and it must not be taken as a backup
  writeTextFile(sandbox.resolver("plain.example"), "nameserver 10.0.0.53\n");
  writeTextFile(sandbox.resolver("../outside"), sandbox.blocker.renderResolverFile("x", "S0"));
  writeTextFile(sandbox.paths.resolverManifestPath(), R"({"domains":["../outside",".."]})");
  sandbox.blocker.restore();
  EXPECT_FALSE(fs::exists(sandbox.resolver("shop.example")));
  EXPECT_TRUE(fs::exists(sandbox.resolver("plain.example")));
  EXPECT_TRUE(fs::exists(sandbox.resolver("../outside")));
}

}  // namespace
}  // namespace vellorin
