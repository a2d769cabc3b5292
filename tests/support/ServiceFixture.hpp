// A BlockerService in a sandbox, with a scripted process snapshot, a recording runner and notifier.
#pragma once

#include <memory>
#include <vector>

#include "VellorinBlockerCore/BlockerService.hpp"
#include "support/TestSupport.hpp"

namespace vellorin::testing {

class RecordingNotifier final : public HelperBlockedApplicationNotifier {
 public:
  explicit RecordingNotifier(std::shared_ptr<std::vector<HelperBlockedAppEvent>> seen) : seen_(std::move(seen)) {}
  bool notify(const HelperBlockedAppEvent& event) override {
    seen_->push_back(event);
    return true;
  }

 private:
  std::shared_ptr<std::vector<HelperBlockedAppEvent>> seen_;
};

struct ServiceFixture {
  explicit ServiceFixture(Sandbox mode = Sandbox::dryRun) : paths(sandboxPaths(temp.path(), mode)) {
    makeSandboxSystemDirectories(temp.path());
  }

  // Builds the service over the fixture's sandbox, with the recording runner for every tool. The
  // snapshot and the clock are read through the fixture at call time, so tests may change them
  // after building; tool answers must be set before.
  std::unique_ptr<BlockerService> makeService(std::shared_ptr<FileSystem> fileSystem = realFileSystem(),
                                              double cooldown = 30.0);

  TemporaryDirectory temp;
  HelperPaths paths;
  // The process snapshot; every process in it runs as an ordinary user.
  std::shared_ptr<std::vector<RunningProcess>> processes = std::make_shared<std::vector<RunningProcess>>();
  std::shared_ptr<std::vector<HelperBlockedAppEvent>> notified = std::make_shared<std::vector<HelperBlockedAppEvent>>();
  std::shared_ptr<TimePoint> clock = std::make_shared<TimePoint>(std::chrono::system_clock::now());
  RecordingRunner runner;
};

// A session that ends `secondsFromNow` from now (negative: already over), with one application
// whose bundle path is `appPath`.
HelperSession makeSession(const std::string& id, long secondsFromNow,
                          const std::string& appPath = "/Applications/Chat.app");

std::vector<HelperBlockedAppEvent> readEventLog(const HelperPaths& paths);

}  // namespace vellorin::testing
