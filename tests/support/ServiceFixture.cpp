// A BlockerService in a sandbox for tests.
#include "support/ServiceFixture.hpp"

namespace vellorin::testing {

std::unique_ptr<BlockerService> ServiceFixture::makeService(std::shared_ptr<FileSystem> fileSystem, double cooldown) {
  auto snapshot = processes;
  auto now = clock;
  return std::make_unique<BlockerService>(
      paths, std::move(fileSystem),
      BlockerServiceCollaborators{.processRunner = runner.runner(),
                                  .runningProcessesProvider = [snapshot] { return *snapshot; },
                                  .processOwnerProvider = [](int32_t) -> std::optional<uid_t> { return 501; },
                                  .blockedApplicationNotifier = std::make_unique<RecordingNotifier>(notified)},
      cooldown, [now] { return *now; });
}

HelperSession makeSession(const std::string& id, long secondsFromNow, const std::string& appPath) {
  const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  HelperSession session;
  session.id = id;
  session.profileName = "Deep work";
  session.startedAt = now - std::chrono::seconds(60);
  session.endsAt = now + std::chrono::seconds(secondsFromNow);
  session.apps = {HelperApp{"a1", "com.example.chat", "Chat", appPath, false, std::nullopt}};
  session.websites = {HelperWebsite{"w1", "news.example", true, false}};
  return session;
}

std::vector<HelperBlockedAppEvent> readEventLog(const HelperPaths& paths) {
  const auto text = readTextFile(paths.blockedApplicationEventsPath());
  if (!text) return {};
  return eventsFromJson(parseDocument(*text));
}

}  // namespace vellorin::testing
