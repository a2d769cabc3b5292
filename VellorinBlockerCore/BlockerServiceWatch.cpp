// BlockerService: the daemon loop, its passes within their deadline, and the start-up sweep.
#include "VellorinBlockerCore/BlockerService.hpp"

#include <algorithm>
#include <set>
#include <thread>

#include "VellorinBlockerCore/RunningTools.hpp"

namespace vellorin {

UniqueFd BlockerService::waitToEnforceAlone() {
  try {
    return locks_.lockDaemon(HelperLocks::DaemonWait::oneTry);
  } catch (const LockTimeoutError&) {
    // Another daemon enforces on these locations.
  }
  writeFailureLine("Another helper daemon is running; this one waits and takes over when it ends.");
  UniqueFd lock = locks_.lockDaemon(HelperLocks::DaemonWait::untilFree);
  writeFailureLine("The other helper daemon has ended; this one takes over.");
  return lock;
}

void BlockerService::removeStaleTemporaryFiles() {
  sharedDirectories_.removeStaleTemporaryFiles(limits::temporaryFileMinimumAge);
  const std::set<std::string> directories = {paths_.stateDirectory,
                                             paths_.resolverBackupDirectory(),
                                             paths_.resolverDirectory,
                                             paths_.hostsPath.parent_path(),
                                             fileManager_->resolvedPath(paths_.hostsPath).parent_path(),
                                             paths_.pfConfPath.parent_path(),
                                             paths_.pfAnchorPath.parent_path(),
                                             paths_.pfTokenPath.parent_path()};
  for (const auto& directory : directories) {
    try {
      fileManager_->removeStaleTemporaryFilesAt(fileManager_->openDirectory(directory).get(),
                                                limits::temporaryFileMinimumAge);
    } catch (const std::exception&) {
      // A directory that is not there holds nothing of ours; anything else waits for the next start.
    }
  }
}

void BlockerService::watch(double pollInterval) {
  // Two daemons would enforce twice; launchd restarts one that exits, so the second one waits.
  daemonLock_ = waitToEnforceAlone();
  removeStaleTemporaryFiles();
  for (;;) {
    RunningTools::guardPass(limits::passGuard, "starting a pass");
    const double pause = watchPass(pollInterval);
    RunningTools::noteStep("reaping the notifications");
    RunningTools::reapBackground();
    RunningTools::unguardPass();
    std::this_thread::sleep_for(std::chrono::duration<double>(pause));
  }
}

double BlockerService::watchPass(double pollInterval) {
  passBudget_->begin(passDeadline_);
  bool failed = false;
  const auto attempt = [&](const char* step, auto&& work) {
    RunningTools::noteStep(step);
    try {
      work();
    } catch (...) {
      writeFailureLine(failureDescription(std::current_exception()));
      failed = true;
    }
  };
  attempt("answering the queued requests", [&] { processPendingCommands(); });
  // Enforcement runs even when the queue step failed: every local user can make that step fail
  // (a file planted in place of the command directory), and must not thereby lift the lock.
  attempt("enforcing the stored session", [&] { enforceActiveSession(); });
  passBudget_->end();
  const double failedPause = std::chrono::duration<double>(limits::failedPassPause).count();
  return failed ? std::max(pollInterval, failedPause) : pollInterval;
}

}  // namespace vellorin
