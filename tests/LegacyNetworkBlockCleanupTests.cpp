// Tests of the legacy network block cleanup: the three restores, their order and stop at first failure.
#include "VellorinBlockerCore/LegacyNetworkBlockCleanup.hpp"

#include <gtest/gtest.h>

#include "support/JournalFileSystem.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace testing;

TEST(LegacyNetworkBlockCleanupTest, RestoreStopsAtTheFirstFailureAndARepeatUndoesEveryBlockInOrder) {
  TemporaryDirectory root;
  makeSandboxSystemDirectories(root.path());  // no hosts file yet, so restore rewrites it
  const HelperPaths paths = sandboxPaths(root.path(), false);
  auto files = std::make_shared<JournalFileSystem>();
  RecordingRunner recorder;
  recorder.answer("/sbin/pfctl", "Token : tok\n");
  const LegacyNetworkBlockCleanup cleanup(paths, files, recorder.runner());
  cleanup.hostsBlocker.apply({"a.example"}, "S1");
  cleanup.packetFilterBlocker.apply({"a.example"});
  cleanup.wildcardResolverBlocker.apply({"a.example"}, "S1");
  files->journal.clear();
  files->full = paths.hostsPath;
  const auto calls = recorder.calls().size();
  std::error_code error;
  try { cleanup.restore(true); } catch (const std::system_error& caught) { error = caught.code(); }
  EXPECT_EQ(error, std::error_code(ENOSPC, std::generic_category()));
  EXPECT_TRUE(files->journal.empty());
  EXPECT_EQ(recorder.calls().size(), calls);

  files->full.clear();
  cleanup.restore(false);
  EXPECT_EQ(files->journal, (std::vector<std::string>{"write hosts", "write app.vellorin.helper", "write pf.conf",
                                                      "remove VellorinPFToken", "remove a.example",
                                                      "remove resolver-manifest.json", "remove resolver-backups"}));
  EXPECT_EQ(recorder.calls().back(),
            (RecordedCall{"/sbin/pfctl", {"-X", "tok", "-f", paths.pfConfPath.string()}, true}));
  EXPECT_EQ(readTextFile(paths.hostsPath), std::string(defaultHostsContent));
  EXPECT_EQ(fileMode(paths.hostsPath), 0644u);
}

}  // namespace
}  // namespace vellorin
