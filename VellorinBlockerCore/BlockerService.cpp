// BlockerService: construction and the session lifecycle (apply, update, status, the lock rules).
#include "VellorinBlockerCore/BlockerService.hpp"

#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

namespace vellorin {
namespace {

std::unique_ptr<HelperBlockedApplicationNotifier> makeNotifier(const HelperPaths& paths, const ProcessRunner& runner,
                                                               std::unique_ptr<HelperBlockedApplicationNotifier> given) {
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

}  // namespace

BlockerService::BlockerService(HelperPaths paths, std::shared_ptr<FileSystem> fileManager,
                               BlockerServiceCollaborators collaborators, double notificationCooldown,
                               DateProvider dateProvider)
    : paths_(std::move(paths)),
      processRunner_(std::move(collaborators.processRunner)),
      applicationBlocker_(makeApplicationBlocker(paths_, processRunner_, collaborators)),
      legacyNetworkBlockCleanup_(paths_, fileManager, processRunner_),
      blockedApplicationNotifier_(makeNotifier(paths_, processRunner_, std::move(collaborators.blockedApplicationNotifier))),
      notificationCooldown_(notificationCooldown),
      dateProvider_(std::move(dateProvider)),
      fileManager_(fileManager),
      sharedDirectories_(paths_, std::move(fileManager)) {}

BlockerService::SessionLockHold::SessionLockHold(BlockerService& service) : service_(service) {
  if (service_.sessionLockHolds_ == 0) service_.sessionLock_ = service_.sharedDirectories_.lockSession(service_.lockWait());
  ++service_.sessionLockHolds_;
}

BlockerService::SessionLockHold::~SessionLockHold() {
  if (--service_.sessionLockHolds_ == 0) service_.sessionLock_.reset();
}

std::chrono::milliseconds BlockerService::lockWait() const {
  // Far above the longest hold of a lock in normal work (a restore with its tools, about a second).
  constexpr std::chrono::milliseconds longest = std::chrono::seconds(30);
  if (!passStarted_) return longest;
  // Within a daemon pass, every wait ends 40 seconds into the pass, well before its last guard.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*passStarted_ + std::chrono::seconds(40) -
                                                                          std::chrono::steady_clock::now());
  return std::clamp(left, std::chrono::milliseconds(0), longest);
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
  if (applications > maximumSessionApplications) {
    throw SessionTooLargeError("Session holds " + std::to_string(applications) + " applications; a session may hold at most " +
                               std::to_string(maximumSessionApplications) + ".");
  }
  if (session.websites.size() > maximumSessionWebsites) {
    throw SessionTooLargeError("Session holds " + std::to_string(session.websites.size()) +
                               " websites; a session may hold at most " + std::to_string(maximumSessionWebsites) + ".");
  }
}

HelperStatus BlockerService::apply(const HelperSession& session) {
  requireRoot();
  refuseOversizedSession(session);
  const SessionLockHold hold(*this);
  refuseWhileLocked();
  applyBlocks(session, std::nullopt);
  return status("Session applied.");
}

HelperStatus BlockerService::update(const HelperSession& next) {
  requireRoot();
  refuseOversizedSession(next);
  const SessionLockHold hold(*this);
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

HelperStatus BlockerService::status(const std::string& message) const {
  return statusOf(readStoredSession(), message);
}

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
