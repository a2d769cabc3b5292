// BlockerService: construction and the session lifecycle (apply, update, status, the lock rules).
#include "VellorinBlockerCore/BlockerService.hpp"

#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

#include "VellorinBlockerCore/ProcessEnvironment.hpp"

namespace vellorin {
namespace {

std::unique_ptr<HelperBlockedApplicationNotifier> makeNotifier(
    const HelperPaths& paths, const ProcessRunner& runner, std::unique_ptr<HelperBlockedApplicationNotifier> given) {
  if (given) return given;
  if (paths.dryRun) return std::make_unique<NoopBlockedApplicationNotifier>();
  return std::make_unique<ConsoleUserBlockedApplicationNotifier>(runner);
}

ApplicationBlocker makeApplicationBlocker(const HelperPaths& paths, const ProcessRunner& runner,
                                          BlockerServiceCollaborators& collaborators) {
  auto snapshots = std::move(collaborators.runningProcessesProvider);
  if (!snapshots) snapshots = [runner] { return ApplicationBlocker::runningProcesses(runner); };
  return ApplicationBlocker(paths, runner, std::move(snapshots), std::move(collaborators.processOwnerProvider));
}

// Every application of `existing` must still be named (by bundle identifier) and every website
// (by record id) in `next`.
bool sessionIncludesExistingTargets(const HelperSession& next, const HelperSession& existing) {
  std::set<std::string> bundleIdentifiers, websiteIDs;
  for (const auto& app : next.apps) bundleIdentifiers.insert(app.bundleIdentifier);
  for (const auto& website : next.websites) websiteIDs.insert(website.id);
  return std::all_of(existing.apps.begin(), existing.apps.end(),
                     [&](const HelperApp& app) { return bundleIdentifiers.contains(app.bundleIdentifier); }) &&
         std::all_of(existing.websites.begin(), existing.websites.end(),
                     [&](const HelperWebsite& website) { return websiteIDs.contains(website.id); });
}

// The session's application targets, each as its bundle identifier and path, sorted.
std::vector<std::string> sortedApplicationKeys(const HelperSession& session) {
  std::vector<std::string> keys;
  for (const auto& app : session.apps) keys.push_back(app.bundleIdentifier + "|" + app.path);
  for (const auto& app : session.browserBlockingApps) keys.push_back(app.bundleIdentifier + "|" + app.path);
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace

BlockerService::BlockerService(HelperPaths paths, std::shared_ptr<FileSystem> fileManager,
                               BlockerServiceCollaborators collaborators, double notificationCooldown,
                               DateProvider dateProvider)
    : paths_(std::move(paths)),
      fileManager_(std::move(fileManager)),
      passBudget_(std::make_shared<PassBudget>()),
      passDeadline_(collaborators.passDeadline),
      processRunner_(withinPassBudget(std::move(collaborators.processRunner), passBudget_)),
      applicationBlocker_(makeApplicationBlocker(paths_, processRunner_, collaborators)),
      legacyNetworkBlockCleanup_(paths_, fileManager_, processRunner_),
      blockedApplicationNotifier_(
          makeNotifier(paths_, processRunner_, std::move(collaborators.blockedApplicationNotifier))),
      notificationCooldown_(notificationCooldown),
      dateProvider_(std::move(dateProvider)),
      sharedDirectories_(paths_, fileManager_),
      locks_(paths_, fileManager_, passBudget_) {}

void BlockerService::writeFailureLine(const std::string& message) const {
  if (paths_.logPath) followLogRotation(STDERR_FILENO, *paths_.logPath);
  // A closed or broken stream is ignored: there is nowhere else to say it.
  (void)writeAll(STDERR_FILENO, message + "\n");
}

bool BlockerService::isActive(const HelperSession& session) {
  return session.endsAt > std::chrono::system_clock::now();
}

void BlockerService::refuseWhileLocked() const {
  if (const auto stored = readStoredSession(); stored && isActive(*stored)) {
    throw HelperCommandError::activeSessionLocked(stored->endsAt);
  }
}

void BlockerService::requireRoot() const {
  if (!paths_.dryRun && ::getuid() != 0) throw HelperCommandError::helperRequiresRoot();
}

std::optional<HelperSession> BlockerService::readStoredSession() const {
  const auto bytes = readStoredSessionBytes();
  if (!bytes) return std::nullopt;
  return decodeDocument<HelperSession>(*bytes);
}

std::optional<std::string> BlockerService::readStoredSessionBytes() const {
  std::optional<std::string> bytes;
  try {
    bytes = fileManager_->readFile(paths_.statePath());
  } catch (const std::system_error& error) {
    // A file in place of the state directory: no file exists at the state path either.
    if (error.code() != std::errc::not_a_directory) throw;
  }
  return bytes;
}

void BlockerService::refuseOversizedSession(const HelperSession& session) {
  const size_t applications = session.apps.size() + session.browserBlockingApps.size();
  if (applications > limits::maximumSessionApplications) {
    throw SessionTooLargeError("Session holds " + std::to_string(applications) +
                               " applications; a session may hold at most " +
                               std::to_string(limits::maximumSessionApplications) + ".");
  }
  if (session.websites.size() > limits::maximumSessionWebsites) {
    throw SessionTooLargeError("Session holds " + std::to_string(session.websites.size()) +
                               " websites; a session may hold at most " +
                               std::to_string(limits::maximumSessionWebsites) + ".");
  }
}

HelperStatus BlockerService::apply(const HelperSession& session) {
  requireRoot();
  refuseOversizedSession(session);
  const HelperLocks::SessionHold hold(locks_);
  if (const auto stored = readStoredSession(); stored && isActive(*stored)) {
    // The very session stored already: a retry of an apply whose answer was lost.
    if (*stored == session) return statusOf(stored, "Session applied.");
    throw HelperCommandError::activeSessionLocked(stored->endsAt);
  }
  applyBlocks(session, std::nullopt);
  return status("Session applied.");
}

HelperStatus BlockerService::update(const HelperSession& next) {
  requireRoot();
  refuseOversizedSession(next);
  const HelperLocks::SessionHold hold(locks_);
  const auto existing = readStoredSession();
  if (!existing || !isActive(*existing)) throw HelperCommandError::noActiveSession();
  if (next.id != existing->id) throw HelperCommandError::sessionUpdateRejected("Active session id does not match.");
  if (next.profileName != existing->profileName || next.startedAt != existing->startedAt) {
    throw HelperCommandError::sessionUpdateRejected("Active session identity cannot be changed during a lock.");
  }
  if (next.endsAt < existing->endsAt) {
    throw HelperCommandError::sessionUpdateRejected("Active session time cannot be shortened.");
  }
  if (!sessionIncludesExistingTargets(next, *existing)) {
    throw HelperCommandError::sessionUpdateRejected("Active session targets cannot be removed during a lock.");
  }
  applyBlocks(next, existing);
  return status("Session updated.");
}

void BlockerService::applyBlocks(const HelperSession& session, const std::optional<HelperSession>& previousSession) {
  fileManager_->createDirectories(paths_.stateDirectory);
  prepareCommandDirectory();
  const bool shouldTerminate =
      !previousSession || sortedApplicationKeys(*previousSession) != sortedApplicationKeys(session);
  fileManager_->writeFileAtomically(paths_.statePath(), encodeDocument(session.toJson()),
                                    WriteOptions{.mode = 0644, .durable = true});
  if (!shouldTerminate) return;
  // Stored and locked from here on, whatever the termination meets: the command reports what it
  // did, and the daemon's next pass ends what this one did not.
  try {
    terminateAndRecord(session);
  } catch (...) {
    writeFailureLine(failureDescription(std::current_exception()));
  }
}

HelperStatus BlockerService::status(const std::string& message) const { return statusOf(readStoredSession(), message); }

HelperStatus BlockerService::statusOf(const std::optional<HelperSession>& stored, const std::string& message) const {
  HelperStatus result{.phase = "idle", .helperInstalled = true, .message = message};
  if (stored && isActive(*stored)) {
    result.phase = "active";
    result.activeSession = stored;
  } else if (stored) {
    result.phase = "expired";
  }
  return result;
}

HelperSession BlockerService::loadSessionFromFile(const std::string& path) const {
  try {
    const auto bytes = fileManager_->readFile(path);
    if (!bytes) throw HelperCommandError::sessionDecodeFailed();
    return decodeDocument<HelperSession>(*bytes);
  } catch (const std::exception&) {
    throw HelperCommandError::sessionDecodeFailed();
  }
}

std::string BlockerService::encodeStatus(const HelperStatus& status) const { return encodeDocument(status.toJson()); }

HelperVersionPayload BlockerService::version() const {
  return {std::string(VellorinHelperVersion), std::string(VellorinHelperProtocolVersion)};
}

std::string BlockerService::encodeVersion(const HelperVersionPayload& version) const {
  return encodeDocument(version.toJson());
}

}  // namespace vellorin
