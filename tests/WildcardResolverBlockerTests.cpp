// Tests of undoing the wildcard resolver block: our files go, a file of someone else's comes back.
#include "VellorinBlockerCore/WildcardResolverBlocker.hpp"

#include <gtest/gtest.h>

#include "VellorinBlockerCore/DomainRules.hpp"
#include "support/FaultInjectingFileSystem.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;

struct Sandbox {
  TemporaryDirectory root;
  HelperPaths paths = sandboxPaths(root.path());
  std::shared_ptr<FaultInjectingFileSystem> fileManager = std::make_shared<FaultInjectingFileSystem>(realFileSystem());
  WildcardResolverBlocker blocker{paths, fileManager};
  std::filesystem::path resolver(const std::string& domain) const { return paths.resolverDirectory / domain; }
};

TEST(WildcardResolverBlockerTest, AForeignFileIsBackedUpOnceAndRenamedBack) {
  Sandbox sandbox;
  writeTextFile(sandbox.resolver("shop.example"), "nameserver 10.0.0.53\n", 0640);
  sandbox.blocker.apply(
      DomainRules::wildcardResolverDomains({{"1", "*.c.example", false, true}, {"2", "shop.example.", true, true}}),
      "S1");
  sandbox.blocker.apply({"Shop.Example"}, "S2");  // the backup is taken once
  sandbox.fileManager->journal.clear();
  sandbox.blocker.restore();
  EXPECT_EQ(readTextFile(sandbox.resolver("shop.example")), "nameserver 10.0.0.53\n");
  EXPECT_EQ(sandbox.fileManager->journal,
            (std::vector<std::string>{"remove c.example", "move shop.example.backup shop.example",
                                      "remove resolver-manifest.json", "remove resolver-backups"}));
}

// Only a file that carries our marker is ours, and no name from the manifest leads outside.
TEST(WildcardResolverBlockerTest, RestoreFindsOurMarkedFilesWithoutFollowingUnsafeNames) {
  Sandbox sandbox;
  sandbox.blocker.apply({"shop.example"}, "S1");
  std::filesystem::remove(sandbox.paths.resolverManifestPath());  // only the marker tells the file is ours now
  sandbox.blocker.apply({"shop.example"}, "S2");                  // and it must not be taken as a backup
  writeTextFile(sandbox.resolver("plain.example"), "nameserver 10.0.0.53\n");
  writeTextFile(sandbox.resolver("../outside"), sandbox.blocker.renderResolverFile("x", "S0"));
  writeTextFile(sandbox.paths.resolverManifestPath(), R"({"domains":["../outside",".."]})");
  sandbox.blocker.restore();
  EXPECT_EQ(entries(sandbox.paths.resolverDirectory), std::vector<std::string>{"plain.example"});
  EXPECT_TRUE(std::filesystem::exists(sandbox.resolver("../outside")));
}

}  // namespace
}  // namespace vellorin
