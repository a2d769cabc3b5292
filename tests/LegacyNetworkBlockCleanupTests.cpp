// Tests of the legacy network block cleanup: the three restores, their order and stop at first failure.
#include "VellorinBlockerCore/LegacyNetworkBlockCleanup.hpp"

#include <gtest/gtest.h>

#include "support/JournalFileSystem.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;
namespace fs = std::filesystem;

// Every kind of block in place, as the blockers themselves leave it, with pf token "tok".
struct Sandbox {
  TemporaryDirectory root;
  HelperPaths paths = sandboxPaths(root.path(), false);
  std::shared_ptr<JournalFileSystem> files = std::make_shared<JournalFileSystem>();
  RecordingRunner recorder;

  LegacyNetworkBlockCleanup cleanup() { return LegacyNetworkBlockCleanup(paths, files, recorder.runner()); }
  Sandbox() {
    writeTextFile(paths.hostsPath, "127.0.0.1\tlocalhost\n");
    recorder.answer("/sbin/pfctl", "Token : tok\n");
    const auto blockers = cleanup();
    blockers.hostsBlocker.apply({"a.example"}, "S1");
    blockers.packetFilterBlocker.apply({"a.example"});
    blockers.wildcardResolverBlocker.apply({"a.example"}, "S1");
    files->journal.clear();
  }
};

TEST(LegacyNetworkBlockCleanupTest, RestoreUndoesEveryBlockInOrder) {
  for (const bool force : {false, true}) {
    Sandbox sandbox;
    sandbox.cleanup().restore(force);
    EXPECT_EQ(sandbox.files->journal,
              (std::vector<std::string>{"move hosts.backup hosts", "write app.vellorin.helper", "write pf.conf",
                                        "remove VellorinPFToken", "remove a.example", "remove resolver-manifest.json",
                                        "remove resolver-backups"}));
    const std::string conf = sandbox.paths.pfConfPath.string();
    EXPECT_EQ(sandbox.recorder.calls().back(),
              (RecordedCall{"/sbin/pfctl", force ? std::vector<std::string>{"-d", "-f", conf}
                                                 : std::vector<std::string>{"-X", "tok", "-f", conf}, true}));
    EXPECT_EQ(readTextFile(sandbox.paths.hostsPath), "127.0.0.1\tlocalhost\n");
  }
}

TEST(LegacyNetworkBlockCleanupTest, FirstFailureStopsTheLaterSteps) {
  Sandbox sandbox;
  fs::remove(sandbox.paths.hostsBackupPath());  // restore now rewrites the hosts file, and that write fails
  sandbox.files->full = sandbox.paths.hostsPath;
  const auto calls = sandbox.recorder.calls().size();
  try {
    sandbox.cleanup().restore(true);
    ADD_FAILURE() << "restore should fail";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::error_code(ENOSPC, std::generic_category()));
  }
  EXPECT_TRUE(sandbox.files->journal.empty());
  EXPECT_EQ(sandbox.recorder.calls().size(), calls);
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "tok");
  EXPECT_TRUE(fs::exists(sandbox.paths.resolverManifestPath()));

  sandbox.files->full.clear();  // now the pf tool cannot start: the resolver files stay
  sandbox.recorder.handle("/sbin/pfctl", [](const std::vector<std::string>&, bool) -> std::string {
    throw std::system_error(ENOENT, std::generic_category(), "spawn /sbin/pfctl");
  });
  EXPECT_THROW(sandbox.cleanup().restore(false), std::system_error);
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "tok");  // kept for the next restore
  EXPECT_TRUE(fs::exists(sandbox.paths.resolverManifestPath()));
  EXPECT_TRUE(fs::exists(sandbox.paths.resolverDirectory / "a.example"));
}

}  // namespace
}  // namespace vellorin
