// The one service through which every command acts: the session lock, enforcement and restore,
// the command directory queue, the watch loop and the event log.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "VellorinBlockerCore/ApplicationBlocker.hpp"
#include "VellorinBlockerCore/BlockedApplicationNotifier.hpp"
#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/EventLog.hpp"
#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/HelperLocks.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"
#include "VellorinBlockerCore/LegacyNetworkBlockCleanup.hpp"
#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/PassBudget.hpp"
#include "VellorinBlockerCore/PlatformTools.hpp"
#include "VellorinBlockerCore/SharedDirectories.hpp"

namespace vellorin {

using DateProvider = std::function<TimePoint()>;

// A session refused before anything is stored because it holds more targets than the maximum.
class SessionTooLargeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the service does its work with, beside the file system: each left at its default is the
// real one.
struct BlockerServiceCollaborators {
  // Runs every external tool of the service, of its application blocker, of its website-block
  // cleanup and of the console notifier.
  ProcessRunner processRunner = defaultProcessRunner();
  // The application blocker's process snapshots; without one, "/bin/ps" through processRunner.
  RunningProcessesProvider runningProcessesProvider;
  // The owner of a process, which decides whether root may signal it.
  ProcessOwnerProvider processOwnerProvider = processOwner;
  // Without one: the no-op notifier in dry-run mode, the console-user notifier otherwise.
  std::unique_ptr<HelperBlockedApplicationNotifier> blockedApplicationNotifier;
  // How long a daemon pass may take before its tool runs and lock waits are cut short.
  std::chrono::milliseconds passDeadline = limits::passDeadline;
};

// Whether a restore goes ahead while a stored session is still active.
enum class RestoreForce { unlessActive, evenIfActive };

class BlockerService {
 public:
  // Construction touches no file and starts no process.
  BlockerService(HelperPaths paths, std::shared_ptr<FileSystem> fileManager, BlockerServiceCollaborators collaborators,
                 double notificationCooldown, DateProvider dateProvider);

  // ---- Session lifecycle

  // Stores the session and terminates its applications. Needs root (or dry-run mode); fails with
  // activeSessionLocked while another stored session is active, and with SessionTooLargeError for
  // a session over the maximum. Applying the very session that is stored (the same document) again
  // changes nothing and answers as the first apply did, so that a retry after a lost answer tells
  // the truth. Once the session is stored the command succeeds: a termination that fails then is
  // written as one line on standard error, and the daemon's next pass enforces.
  HelperStatus apply(const HelperSession& session);
  // Replaces the active session under the lock rules. Needs root (or dry-run mode); a session over
  // the maximum is refused like one for apply. Succeeds once stored, as apply does.
  HelperStatus update(const HelperSession& next);
  // Where the stored session stands. A state file that cannot be read or decoded is an error.
  HelperStatus status(const std::string& message) const;
  // Reads a session file; every failure becomes sessionDecodeFailed.
  HelperSession loadSessionFromFile(const std::string& path) const;
  std::string encodeStatus(const HelperStatus& status) const;
  HelperVersionPayload version() const;
  std::string encodeVersion(const HelperVersionPayload& version) const;

  // ---- Enforcement and restore

  // Terminates the blocked applications of an active session, or restores the system once it has
  // expired.
  HelperStatus enforceActiveSession();
  // Restores the system unless a stored session is still active.
  HelperStatus cleanupIfExpired();
  // Removes the website blocks, the state file and the event log, then flushes the DNS caches.
  // Unless forced it refuses while a stored session is active. `message` is what the caller's
  // status will say; the restore itself reports nothing.
  void restore(RestoreForce force, const std::string& message);
  // restore(force, message), then the status that reports it with the same message.
  HelperStatus restoreAndReport(RestoreForce force, const std::string& message);

  // ---- Command directory queue

  // Makes sure the command directory and its parent exist as real directories open to every user,
  // and rewrites the protocol marker.
  void prepareCommandDirectory();
  // One pass over the queued requests, in byte order of their names.
  void processPendingCommands();

  // ---- Watch loop and event log

  // Never returns: waits while another daemon runs on the same locations, removes what a killed
  // predecessor left behind, then a pass, then a pause, forever. Each pass has limits::passDeadline
  // (see BlockerServiceCollaborators) for its tool runs and lock waits; one that runs longer than
  // limits::passGuard all the same ends the process with status 1.
  [[noreturn]] void watch(double pollInterval);
  // Removes the temporary files that a helper killed halfway through a write left in any directory
  // the helper writes into, once they are limits::temporaryFileMinimumAge old (a write under way in another helper
  // process is never that old). Best-effort: fails never.
  void removeStaleTemporaryFiles();
  // One pass of the loop within its deadline: the queue, then enforcement, each failure one line
  // on standard error. Returns the pause in seconds before the next pass, at least
  // limits::failedPassPause after a failure.
  double watchPass(double pollInterval);

  // Appends events to the event log (see appendToEventLog), then notifies under the cooldown. A log
  // that changes while it is read is read again.
  void appendBlockedApplicationEvents(const std::vector<HelperBlockedAppEvent>& events);
  // Hands events to the notifier, at most one per bundle identifier within the cooldown.
  void notifyBlockedApplicationEvents(const std::vector<HelperBlockedAppEvent>& events);

  // The matcher that spares the browser instance the focus application drives, if the session names one.
  static std::vector<AllowedProcessMatcher> controlledChromeAllowedProcessMatchers(const HelperSession& session);

 private:
  // The daemon lock, at once or, while another daemon holds it, once that one has ended.
  UniqueFd waitToEnforceAlone();
  void requireRoot() const;
  // One line on standard error (in the log's current file when the log is rotated).
  void writeFailureLine(const std::string& message) const;
  static void refuseOversizedSession(const HelperSession& session);
  // Active while its end lies after now (the wall clock, read at each comparison).
  static bool isActive(const HelperSession& session);
  std::optional<HelperSession> readStoredSession() const;
  // The state file as it stands, undecoded; nothing when there is none.
  std::optional<std::string> readStoredSessionBytes() const;
  // Fails with activeSessionLocked while a stored session is active.
  void refuseWhileLocked() const;
  HelperStatus statusOf(const std::optional<HelperSession>& stored, const std::string& message) const;
  void applyBlocks(const HelperSession& session, const std::optional<HelperSession>& previousSession);
  // Terminates the session's applications and logs what was found, also when the termination
  // failed after its first signal; the failure is passed on.
  void terminateAndRecord(const HelperSession& session);
  void flushDNSCaches();
  std::string run(const std::string& executable, const std::vector<std::string>& arguments);
  void processCommandRequest(const SharedDirectories::Open& directories, const std::string& fileName);
  HelperCommandResponse answerRequest(const std::string& requestBytes);

  HelperPaths paths_;
  std::shared_ptr<FileSystem> fileManager_;
  // Shared with the runner and the locks, which keep to it within a daemon pass.
  std::shared_ptr<PassBudget> passBudget_;
  std::chrono::milliseconds passDeadline_;
  ProcessRunner processRunner_;
  ApplicationBlocker applicationBlocker_;
  LegacyNetworkBlockCleanup legacyNetworkBlockCleanup_;
  std::unique_ptr<HelperBlockedApplicationNotifier> blockedApplicationNotifier_;
  NotificationCooldown notificationCooldown_;
  DateProvider dateProvider_;
  SharedDirectories sharedDirectories_;
  HelperLocks locks_;
  UniqueFd daemonLock_;  // held for as long as watch runs
};

}  // namespace vellorin
