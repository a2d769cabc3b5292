// The helper processes' locks: files in the state directory, taken in order within bounded waits.
#include "VellorinBlockerCore/HelperLocks.hpp"

#include <utility>

#include "VellorinBlockerCore/Limits.hpp"

namespace vellorin {
namespace {

constexpr const char* commandQueueLockName = "command-queue.lock";
constexpr const char* sessionLockName = "session.lock";
constexpr const char* daemonLockName = "daemon.lock";

}  // namespace

HelperLocks::HelperLocks(HelperPaths paths, std::shared_ptr<FileSystem> fileManager,
                         std::shared_ptr<const PassBudget> passBudget)
    : paths_(std::move(paths)), fileManager_(std::move(fileManager)), passBudget_(std::move(passBudget)) {}

HelperLocks::SessionHold::SessionHold(HelperLocks& locks) : locks_(locks) {
  if (locks_.sessionHolds_ == 0) locks_.sessionLock_ = locks_.lockStateFile(sessionLockName, locks_.waitWithinPass());
  ++locks_.sessionHolds_;
}

HelperLocks::SessionHold::~SessionHold() {
  if (--locks_.sessionHolds_ == 0) locks_.sessionLock_.reset();
}

UniqueFd HelperLocks::lockCommandQueue() const {
  try {
    return lockStateFile(commandQueueLockName, waitWithinPass());
  } catch (const std::system_error&) {
    return UniqueFd();
  }
}

UniqueFd HelperLocks::lockDaemon(DaemonWait wait) const {
  return lockStateFile(daemonLockName,
                       wait == DaemonWait::oneTry ? std::chrono::milliseconds(0) : std::chrono::milliseconds::max());
}

UniqueFd HelperLocks::lockStateFile(const char* name, std::chrono::milliseconds wait) const {
  fileManager_->createDirectories(paths_.stateDirectory);
  return fileManager_->lockFile(appendingComponent(paths_.stateDirectory, name), wait);
}

std::chrono::milliseconds HelperLocks::waitWithinPass() const { return passBudget_->within(limits::lockWait); }

}  // namespace vellorin
