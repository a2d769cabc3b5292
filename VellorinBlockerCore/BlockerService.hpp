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
#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"
#include "VellorinBlockerCore/LegacyNetworkBlockCleanup.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/PlatformTools.hpp"
#include "VellorinBlockerCore/SharedDirectories.hpp"

namespace vellorin {

using DateProvider = std::function<TimePoint()>;

// The most targets a session may hold: far more than anyone blocks by hand (a Mac's application
// folders rarely hold more than a few hundred bundles), and few enough that the daemon, which
// reads the stored session every 0.2 seconds, stays cheap whatever a local user queues.
inline constexpr size_t maximumSessionApplications = 1000;  // apps and browserBlockingApps together
inline constexpr size_t maximumSessionWebsites = 1000;

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
  ProcessOwnerProvider processOwnerProvider = ApplicationBlocker::processOwner;
  // Without one: the no-op notifier in dry-run mode, the console-user notifier otherwise.
  std::unique_ptr<HelperBlockedApplicationNotifier> blockedApplicationNotifier;
};

class BlockerService {
 public:
  // Construction touches no file and starts no process.
  BlockerService(HelperPaths paths, std::shared_ptr<FileSystem> fileManager, BlockerServiceCollaborators collaborators,
                 double notificationCooldown, DateProvider dateProvider);

  // ---- Session lifecycle

  // Stores the session and terminates its applications. Needs root (or dry-run mode); fails with
  // activeSessionLocked while a stored session is active, and with SessionTooLargeError for a
  // session over the maximum.
  HelperStatus apply(const HelperSession& session);
  // Replaces the active session under the lock rules. Needs root (or dry-run mode); a session over
  // the maximum is refused like one for apply.
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
  // Without force it refuses while a stored session is active. `message` is not used.
  void restore(bool force, const std::string& message);
  // restore(force, message), then the status that reports it with the same message.
  HelperStatus restoreAndReport(bool force, const std::string& message);

  // ---- Command directory queue

  // Makes sure the command directory and its parent exist as real directories open to every user,
  // and rewrites the protocol marker.
  void prepareCommandDirectory();
  // One pass over the queued requests, in byte order of their names.
  void processPendingCommands();

  // ---- Watch loop and event log

  // Never returns: waits while another daemon runs on the same locations, removes what a killed
  // predecessor left behind, then a pass, then a pause, forever. A pass that runs longer than a
  // minute ends the process with status 1.
  [[noreturn]] void watch(double pollInterval);
  // Removes the temporary files that a helper killed halfway through a write left in any directory
  // the helper writes into, once they are a minute old (a write under way in another helper
  // process is never that old). Best-effort: fails never.
  void removeStaleTemporaryFiles();
  // One pass of the loop: the queue, then enforcement, each failure one line on standard error.
  // Returns the pause in seconds before the next pass, at least 5 seconds after a failure.
  double watchPass(double pollInterval);

  // Appends events to the event log (newest 100 kept), then notifies under the cooldown. A log
  // that changes while it is read is read again.
  void appendBlockedApplicationEvents(const std::vector<HelperBlockedAppEvent>& events);
  // Hands events to the notifier, at most one per bundle identifier within the cooldown.
  void notifyBlockedApplicationEvents(const std::vector<HelperBlockedAppEvent>& events);

  // The matcher that spares the browser instance the focus application drives, if the session names one.
  static std::vector<AllowedProcessMatcher> controlledChromeAllowedProcessMatchers(const HelperSession& session);

 private:
  // The session lock of this process, taken on the first hold and released with the last: a
  // restore within an enforcement, or an append within a termination, holds it already.
  class SessionLockHold {
   public:
    explicit SessionLockHold(BlockerService& service);
    ~SessionLockHold();
    SessionLockHold(const SessionLockHold&) = delete;
    SessionLockHold& operator=(const SessionLockHold&) = delete;
    SessionLockHold(SessionLockHold&&) = delete;
    SessionLockHold& operator=(SessionLockHold&&) = delete;

   private:
    BlockerService& service_;
  };

  // The daemon lock, at once or, while another daemon holds it, once that one has ended.
  UniqueFd waitToEnforceAlone();
  // How long to wait for a lock: 30 seconds, and in a daemon pass no later than 40 seconds into it.
  std::chrono::milliseconds lockWait() const;
  void requireRoot() const;
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
  void terminateAndRecord(const HelperSession& session);
  void flushDNSCaches();
  std::string run(const std::string& executable, const std::vector<std::string>& arguments);
  void processCommandRequest(const SharedDirectories::Open& directories, const std::string& fileName);
  HelperCommandResponse answerRequest(const std::string& requestBytes);

  HelperPaths paths_;
  ProcessRunner processRunner_;
  ApplicationBlocker applicationBlocker_;
  LegacyNetworkBlockCleanup legacyNetworkBlockCleanup_;
  std::unique_ptr<HelperBlockedApplicationNotifier> blockedApplicationNotifier_;
  double notificationCooldown_;
  DateProvider dateProvider_;
  std::shared_ptr<FileSystem> fileManager_;
  SharedDirectories sharedDirectories_;
  std::map<std::string, TimePoint> lastNotificationDatesByBundleIdentifier_;
  UniqueFd sessionLock_;
  int sessionLockHolds_ = 0;
  UniqueFd daemonLock_;  // held for as long as watch runs
  // When the daemon pass under way began; empty outside one.
  std::optional<std::chrono::steady_clock::time_point> passStarted_;
};

}  // namespace vellorin
