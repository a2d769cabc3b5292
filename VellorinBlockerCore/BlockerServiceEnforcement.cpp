// BlockerService: storing a session, enforcing it, and restoring the system.
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

std::vector<std::string> sortedApplicationKeys(const HelperSession& session) {
  std::vector<std::string> keys;
  for (const auto& app : applicationTargets(session)) keys.push_back(app.bundleIdentifier + "|" + app.path);
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace

std::vector<AllowedProcessMatcher> BlockerService::controlledChromeAllowedProcessMatchers(const HelperSession& session) {
  const auto& userDataDir = session.controlledChromeUserDataDir;
  const auto& marker = session.controlledChromeProcessMarker;
  if (!userDataDir || userDataDir->empty() || !marker || marker->empty()) return {};
  return {AllowedProcessMatcher{{"--user-data-dir=" + *userDataDir, "--remote-debugging-port=", *marker}}};
}

void BlockerService::applyBlocks(const HelperSession& session, const std::optional<HelperSession>& previousSession) {
  fileManager_->createDirectories(paths_.stateDirectory);
  prepareCommandDirectory();
  const bool shouldTerminate =
      !previousSession || sortedApplicationKeys(*previousSession) != sortedApplicationKeys(session);
  fileManager_->writeFileAtomically(paths_.statePath(), encodeDocument(session.toJson()),
                                    WriteOptions{.mode = 0644, .durable = true});
  if (shouldTerminate) terminateAndRecord(session);
}

void BlockerService::terminateAndRecord(const HelperSession& session) {
  const auto events = applicationBlocker_.terminate(applicationTargets(session), session.id,
                                                    controlledChromeAllowedProcessMatchers(session));
  appendBlockedApplicationEvents(events);
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
  const SessionLockHold hold(*this);
  // Decoded again only when another helper process changed it meanwhile.
  const auto bytes = readStoredSessionBytes();
  const auto stored = bytes == peekBytes ? peek : bytes ? std::optional(decodeDocument<HelperSession>(*bytes)) : std::nullopt;
  if (!stored) return statusOf(std::nullopt, "No active session.");
  if (!isActive(*stored)) return restoreAndReport(false, "Expired session restored.");
  terminateAndRecord(*stored);
  return statusOf(stored, "Active session enforced.");
}

HelperStatus BlockerService::cleanupIfExpired() {
  refuseWhileLocked();
  return restoreAndReport(false, "Expired session restored.");
}

HelperStatus BlockerService::restoreAndReport(bool force, const std::string& message) {
  restore(force, message);
  return status(message);
}

void BlockerService::restore(bool force, const std::string& /*message*/) {
  requireRoot();
  {
    // The session judged here is the one removed: nobody stores another in between.
    const SessionLockHold hold(*this);
    if (!force) refuseWhileLocked();
    legacyNetworkBlockCleanup_.restore(force);
    // A directory left at the state path is removed only when empty; one that stays is a failure,
    // not a restore that reports success.
    if (!fileManager_->removeFile(paths_.statePath()) && fileManager_->exists(paths_.statePath())) {
      throwSystemError(ENOTEMPTY, "remove " + paths_.statePath().string());
    }
    sharedDirectories_.removeEventLog();
    lastNotificationDatesByBundleIdentifier_.clear();
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
  return decodedOutput(
      processRunner_(executable, arguments, RunOptions{.allowFailure = true, .timeLimit = std::chrono::seconds(5)}));
}

}  // namespace vellorin
