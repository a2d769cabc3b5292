// BlockerService: the daemon loop, the event log and the notification cooldown.
#include "VellorinBlockerCore/BlockerService.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <set>
#include <thread>

#include "VellorinBlockerCore/ProcessEnvironment.hpp"

namespace vellorin {
namespace {

constexpr size_t eventLogCapacity = 100;
constexpr double failedPassMinimumPause = 5.0;
constexpr std::chrono::minutes temporaryFileMinimumAge{1};
// The last guard: a pass that takes longer has met something stuck that every tool limit and lock
// wait missed. Far above what a pass with every tool at its limit takes.
constexpr unsigned passTimeLimitSeconds = 60;

// One line on standard error, in the log's current file when the log is rotated. A closed or
// broken stream is ignored: the loop must go on.
void writeErrorLine(const HelperPaths& paths, const std::string& message) {
  if (paths.logPath) followLogRotation(STDERR_FILENO, *paths.logPath);
  writeAll(STDERR_FILENO, message + "\n");
}

// Ends a daemon whose pass has run too long, so that its service manager starts a fresh one. Only
// async-signal-safe calls: the tools it started go with it, and every file the helper writes is
// replaced in one step, so nothing is left half-written.
extern "C" void endOverlongPass(int /*signal*/) {
  constexpr std::string_view message =
      "A pass of the helper daemon ran longer than 60 seconds; the daemon exits so that a fresh one starts.\n";
  const ssize_t written = ::write(STDERR_FILENO, message.data(), message.size());
  (void)written;  // nowhere left to report a failed write
  killRunningTools();
  ::_exit(1);
}

void guardPasses() {
  struct sigaction action {};
  action.sa_handler = endOverlongPass;
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGALRM, &action, nullptr) != 0) throwSystemError("sigaction SIGALRM");
}

}  // namespace

UniqueFd BlockerService::waitToEnforceAlone() {
  try {
    return sharedDirectories_.lockDaemon(std::chrono::milliseconds(0));
  } catch (const LockTimeoutError&) {
    // Another daemon enforces on these locations.
  }
  writeErrorLine(paths_, "Another helper daemon is running; this one waits and takes over when it ends.");
  UniqueFd lock = sharedDirectories_.lockDaemon(std::chrono::milliseconds::max());
  writeErrorLine(paths_, "The other helper daemon has ended; this one takes over.");
  return lock;
}

void BlockerService::removeStaleTemporaryFiles() {
  sharedDirectories_.removeStaleTemporaryFiles(temporaryFileMinimumAge);
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
      fileManager_->removeStaleTemporaryFilesAt(fileManager_->openDirectory(directory).get(), temporaryFileMinimumAge);
    } catch (const std::exception&) {
      // A directory that is not there holds nothing of ours; anything else waits for the next start.
    }
  }
}

void BlockerService::watch(double pollInterval) {
  // Two daemons would enforce twice; launchd restarts one that exits, so the second one waits.
  daemonLock_ = waitToEnforceAlone();
  removeStaleTemporaryFiles();
  guardPasses();
  for (;;) {
    ::alarm(passTimeLimitSeconds);
    const double pause = watchPass(pollInterval);
    reapBackgroundProcesses();
    ::alarm(0);
    std::this_thread::sleep_for(std::chrono::duration<double>(pause));
  }
}

double BlockerService::watchPass(double pollInterval) {
  passStarted_ = std::chrono::steady_clock::now();
  bool failed = false;
  const auto attempt = [&](auto&& step) {
    try {
      step();
    } catch (...) {
      writeErrorLine(paths_, failureDescription(std::current_exception()));
      failed = true;
    }
  };
  attempt([&] { processPendingCommands(); });
  // Enforcement runs even when the queue step failed: every local user can make that step fail
  // (a file planted in place of the command directory), and must not thereby lift the lock.
  attempt([&] { enforceActiveSession(); });
  passStarted_.reset();
  return failed ? std::max(pollInterval, failedPassMinimumPause) : pollInterval;
}

void BlockerService::appendBlockedApplicationEvents(const std::vector<HelperBlockedAppEvent>& events) {
  if (events.empty()) return;
  const SessionLockHold hold(*this);
  const auto directories = sharedDirectories_.prepare();

  // A log that is unreadable, does not decode or is not a plain file (it lives where every user
  // can write) counts as empty. One that changes while it is read is read again; every helper
  // writes it under the session lock, so one that keeps changing is a user's doing, and counts as
  // empty too.
  std::vector<HelperBlockedAppEvent> log;
  for (int attempt = 1; attempt <= 5; ++attempt) {
    try {
      if (const auto bytes = directories.readEventLog()) log = eventsFromJson(parseDocument(*bytes));
      break;
    } catch (const FileChangedWhileReadError&) {
      continue;
    } catch (...) {
      break;
    }
  }
  log.insert(log.end(), events.begin(), events.end());
  if (log.size() > eventLogCapacity) log.erase(log.begin(), log.end() - eventLogCapacity);

  directories.writeEventLog(encodeDocument(eventsToJson(log)));
  notifyBlockedApplicationEvents(events);
}

void BlockerService::notifyBlockedApplicationEvents(const std::vector<HelperBlockedAppEvent>& events) {
  const TimePoint now = dateProvider_();
  const auto cooldown = std::chrono::duration<double>(notificationCooldown_);
  for (const auto& event : events) {
    if (event.bundleIdentifier.empty()) continue;
    const auto last = lastNotificationDatesByBundleIdentifier_.find(event.bundleIdentifier);
    // A clock that moved backwards gives a negative distance, which counts as within the cooldown.
    if (last != lastNotificationDatesByBundleIdentifier_.end() && now - last->second < cooldown) continue;
    lastNotificationDatesByBundleIdentifier_[event.bundleIdentifier] = now;
    try {
      blockedApplicationNotifier_->notify(event);
    } catch (...) {
      // Notifications are best-effort.
    }
  }
}

}  // namespace vellorin
