// Tests of the legacy network block cleanup: the three restores, their order and stop at first failure.
#include "VellorinBlockerCore/LegacyNetworkBlockCleanup.hpp"

#include <gtest/gtest.h>

#include <system_error>

#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using testing::RecordedCall;
using testing::RecordingRunner;
using testing::TemporaryDirectory;
using testing::readTextFile;
using testing::sandboxPaths;
using testing::writeTextFile;

namespace fs = std::filesystem;

// Logs the file changes in order, and can fail the atomic write of one path as a full disk would.
class JournalFileSystem : public FileSystem {
 public:
  std::optional<fs::path> full;
  std::vector<std::string> journal;

  void writeFileAtomically(const fs::path& path, std::string_view bytes, const WriteOptions& options) override {
    if (full && path == *full) throw std::system_error(ENOSPC, std::generic_category(), "write " + path.string());
    journal.push_back("write " + path.filename().string());
    FileSystem::writeFileAtomically(path, bytes, options);
  }
  bool removeFile(const fs::path& path) override {
    journal.push_back("remove " + path.filename().string());
    return FileSystem::removeFile(path);
  }
  void moveFile(const fs::path& from, const fs::path& to) override {
    journal.push_back("move " + from.filename().string() + " " + to.filename().string());
    FileSystem::moveFile(from, to);
  }
};

struct Sandbox {
  TemporaryDirectory root;
  HelperPaths paths = sandboxPaths(root.path(), false);
  std::shared_ptr<JournalFileSystem> files = std::make_shared<JournalFileSystem>();
  RecordingRunner recorder;

  Sandbox() { fs::create_directories(paths.pfAnchorPath.parent_path()); }
  LegacyNetworkBlockCleanup cleanup() { return LegacyNetworkBlockCleanup(paths, files, recorder.runner()); }

  // Every kind of block in place, as the blockers themselves leave it.
  void applyEverything() {
    writeTextFile(paths.hostsPath, "127.0.0.1\tlocalhost\n");
    recorder.answer("/sbin/pfctl", "Token : tok\n");
    const auto blockers = cleanup();
    blockers.hostsBlocker.apply({"a.example"}, "S1");
    blockers.packetFilterBlocker.apply({"a.example"});
    blockers.wildcardResolverBlocker.apply({"a.example"}, "S1");
    files->journal.clear();
  }
};

TEST(LegacyNetworkBlockCleanupTest, RestoreWithNothingInPlaceRewritesAndDisablesPf) {
  Sandbox sandbox;
  fs::create_directories(sandbox.paths.resolverBackupDirectory());
  sandbox.cleanup().restore(false);

  EXPECT_EQ(readTextFile(sandbox.paths.hostsPath), std::string(defaultHostsContent));
  EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), "");
  EXPECT_EQ(readTextFile(sandbox.paths.pfConfPath), "\n");
  EXPECT_EQ(sandbox.recorder.calls(),
            (std::vector<RecordedCall>{{"/sbin/pfctl", {"-d", "-f", sandbox.paths.pfConfPath.string()}, true}}));
  EXPECT_EQ(sandbox.files->journal,
            (std::vector<std::string>{"write hosts", "write app.vellorin.helper", "write pf.conf", "remove resolver-backups"}));
  EXPECT_FALSE(fs::exists(sandbox.paths.resolverBackupDirectory()));
}

TEST(LegacyNetworkBlockCleanupTest, RestoreUndoesEveryBlockInOrder) {
  for (const bool force : {false, true}) {
    Sandbox sandbox;
    sandbox.applyEverything();
    const auto cleanup = sandbox.cleanup();
    EXPECT_TRUE(cleanup.hostsBlocker.containsBlock());
    EXPECT_TRUE(cleanup.packetFilterBlocker.containsBlock());
    EXPECT_TRUE(cleanup.wildcardResolverBlocker.containsBlock());
    const size_t callsBefore = sandbox.recorder.calls().size();

    cleanup.restore(force);
    EXPECT_EQ(sandbox.files->journal,
              (std::vector<std::string>{"move hosts.backup hosts", "write app.vellorin.helper", "write pf.conf",
                                        "remove VellorinPFToken", "remove a.example", "remove resolver-manifest.json",
                                        "remove resolver-backups"}));
    // Force changes only how pf lets go of the token.
    const std::vector<std::string> pfArguments =
        force ? std::vector<std::string>{"-d", "-f", sandbox.paths.pfConfPath.string()}
              : std::vector<std::string>{"-X", "tok", "-f", sandbox.paths.pfConfPath.string()};
    ASSERT_EQ(sandbox.recorder.calls().size(), callsBefore + 1);
    EXPECT_EQ(sandbox.recorder.calls().back(), (RecordedCall{"/sbin/pfctl", pfArguments, true}));
    EXPECT_EQ(readTextFile(sandbox.paths.hostsPath), "127.0.0.1\tlocalhost\n");
    EXPECT_FALSE(cleanup.hostsBlocker.containsBlock());
    EXPECT_FALSE(cleanup.packetFilterBlocker.containsBlock());
    EXPECT_FALSE(cleanup.wildcardResolverBlocker.containsBlock());
  }
}

TEST(LegacyNetworkBlockCleanupTest, HostsFailureStopsBeforePacketFilterAndResolver) {
  Sandbox sandbox;
  sandbox.applyEverything();
  fs::remove(sandbox.paths.hostsBackupPath());  // so restore rewrites the hosts file, and that write fails
  sandbox.files->full = sandbox.paths.hostsPath;
  const auto anchor = readTextFile(sandbox.paths.pfAnchorPath);
  const auto manifest = readTextFile(sandbox.paths.resolverManifestPath());
  const size_t callsBefore = sandbox.recorder.calls().size();

  try {
    sandbox.cleanup().restore(true);
    FAIL() << "restore should fail";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::error_code(ENOSPC, std::generic_category()));
  }
  EXPECT_TRUE(sandbox.files->journal.empty());
  EXPECT_EQ(sandbox.recorder.calls().size(), callsBefore);
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "tok");
  EXPECT_EQ(readTextFile(sandbox.paths.pfAnchorPath), anchor);
  EXPECT_EQ(readTextFile(sandbox.paths.resolverManifestPath()), manifest);
}

TEST(LegacyNetworkBlockCleanupTest, PacketFilterFailureStopsBeforeResolver) {
  Sandbox sandbox;
  sandbox.applyEverything();
  sandbox.recorder.handle("/sbin/pfctl", [](const std::vector<std::string>&, bool) -> std::string {
    throw std::system_error(ENOENT, std::generic_category(), "spawn /sbin/pfctl");
  });
  EXPECT_THROW(sandbox.cleanup().restore(false), std::system_error);
  EXPECT_FALSE(readTextFile(sandbox.paths.hostsBackupPath()));  // the hosts step ran
  EXPECT_EQ(readTextFile(sandbox.paths.pfTokenPath), "tok");
  EXPECT_TRUE(fs::exists(sandbox.paths.resolverManifestPath()));
  EXPECT_TRUE(fs::exists(sandbox.paths.resolverDirectory / "a.example"));
}

}  // namespace
}  // namespace vellorin
