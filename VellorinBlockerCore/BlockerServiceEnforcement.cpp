// BlockerService: enforcing the stored session, logging and announcing what it ended, and
// restoring the system.
#include "VellorinBlockerCore/BlockerService.hpp"

#include <algorithm>

namespace vellorin {
namespace {

// The session's application targets: its apps followed by its browser-blocking apps.
std::vector<HelperApp> applicationTargets(const HelperSession& session) {
  std::vector<HelperApp> targets = session.apps;
  targets.insert(targets.end(), session.browserBlockingApps.begin(), session.browserBlockingApps.end());
  return targets;
}

bool hasApplicationTargetWithPath(const HelperSession& session) {
  const auto withPath = [](const HelperApp& app) { return !app.path.empty(); };
  return std::any_of(session.apps.begin(), session.apps.end(), withPath) ||
         std::any_of(session.browserBlockingApps.begin(), session.browserBlockingApps.end(), withPath);
}

}  // namespace

std::vector<AllowedProcessMatcher> BlockerService::controlledChromeAllowedProcessMatchers(
    const HelperSession& session) {
  const auto& userDataDir = session.controlledChromeUserDataDir;
  const auto& marker = session.controlledChromeProcessMarker;
  if (!userDataDir || userDataDir->empty() || !marker || marker->empty()) return {};
  return {AllowedProcessMatcher{{"--user-data-dir=" + *userDataDir, "--remote-debugging-port=", *marker}}};
}

void BlockerService::terminateAndRecord(const HelperSession& session) {
  std::vector<HelperBlockedAppEvent> events;
  try {
    events = applicationBlocker_.terminate(applicationTargets(session), session.id,
                                           controlledChromeAllowedProcessMatchers(session));
  } catch (const TerminationCutShortError& cutShort) {
    // Signals went out: what was found is logged and announced before the failure is passed on.
    appendBlockedApplicationEvents(cutShort.events);
    std::rethrow_exception(cutShort.failure);
  }
  appendBlockedApplicationEvents(events);
}

void BlockerService::appendBlockedApplicationEvents(const std::vector<HelperBlockedAppEvent>& events) {
  if (events.empty()) return;
  const HelperLocks::SessionHold hold(locks_);
  appendToEventLog(sharedDirectories_.prepare(), events);
  notifyBlockedApplicationEvents(events);
}

void BlockerService::notifyBlockedApplicationEvents(const std::vector<HelperBlockedAppEvent>& events) {
  notificationCooldown_.notify(events, dateProvider_(), *blockedApplicationNotifier_);
}

HelperStatus BlockerService::enforceActiveSession() {
  // Runs every 0.2 seconds in the daemon: without a stored session, or with an active one that
  // blocks no application, the state file is read once and no lock is taken. Otherwise it is read
  // again under the lock, which only root can take.
  const auto peekBytes = readStoredSessionBytes();
  if (!peekBytes) return statusOf(std::nullopt, "No active session.");
  const auto peek = std::optional(decodeDocument<HelperSession>(*peekBytes));
  // An active session that blocks no application has nothing to enforce: no lock, no tool.
  if (isActive(*peek) && !hasApplicationTargetWithPath(*peek)) return statusOf(peek, "Active session enforced.");
  requireRoot();
  const HelperLocks::SessionHold hold(locks_);
  // Decoded again only when another helper process changed it meanwhile.
  const auto bytes = readStoredSessionBytes();
  const auto stored = bytes == peekBytes ? peek
                      : bytes            ? std::optional(decodeDocument<HelperSession>(*bytes))
                                         : std::nullopt;
  if (!stored) return statusOf(std::nullopt, "No active session.");
  if (!isActive(*stored)) return restoreAndReport(RestoreForce::unlessActive, "Expired session restored.");
  terminateAndRecord(*stored);
  return statusOf(stored, "Active session enforced.");
}

HelperStatus BlockerService::cleanupIfExpired() {
  refuseWhileLocked();
  return restoreAndReport(RestoreForce::unlessActive, "Expired session restored.");
}

HelperStatus BlockerService::restoreAndReport(RestoreForce force, const std::string& message) {
  restore(force, message);
  return status(message);
}

void BlockerService::restore(RestoreForce force, const std::string& /*message*/) {
  requireRoot();
  {
    // The session judged here is the one removed: nobody stores another in between.
    const HelperLocks::SessionHold hold(locks_);
    if (force == RestoreForce::unlessActive) refuseWhileLocked();
    legacyNetworkBlockCleanup_.restore(force == RestoreForce::evenIfActive);
    // A directory left at the state path is removed only when empty; one that stays is a failure,
    // not a restore that reports success.
    if (!fileManager_->removeFile(paths_.statePath()) && fileManager_->exists(paths_.statePath())) {
      throwSystemError(ENOTEMPTY, "remove " + paths_.statePath().string());
    }
    sharedDirectories_.removeEventLog();
    notificationCooldown_.forget();
  }
  prepareCommandDirectory();
  flushDNSCaches();
}

void BlockerService::flushDNSCaches() {
  if (paths_.dryRun) return;
  const std::vector<std::pair<std::string, std::vector<std::string>>> tools = {
      {"/usr/bin/dscacheutil", {"-flushcache"}},
      {"/usr/bin/killall", {"-HUP", "mDNSResponder"}},
      {"/usr/bin/killall", {"mDNSResponderHelper"}},
  };
  for (const auto& [executable, arguments] : tools) {
    // Best-effort: a missing, failing or stuck tool is ignored and the next one still runs.
    try {
      run(executable, arguments);
    } catch (...) {
    }
  }
}

std::string BlockerService::run(const std::string& executable, const std::vector<std::string>& arguments) {
  // The DNS cache tools are best-effort; a stuck one must not stall the daemon.
  return decodedOutput(processRunner_(executable, arguments,
                                      RunOptions{.allowFailure = true, .timeLimit = limits::cacheFlushTimeLimit}));
}

}  // namespace vellorin
