// The event log's capped append, and the notification cooldown.
#include "VellorinBlockerCore/EventLog.hpp"

#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/Limits.hpp"

namespace vellorin {

void appendToEventLog(const SharedDirectories::Open& directories, const std::vector<HelperBlockedAppEvent>& events) {
  std::vector<HelperBlockedAppEvent> log;
  for (int attempt = 1; attempt <= limits::eventLogReadAttempts; ++attempt) {
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
  if (log.size() > limits::eventLogCapacity) {
    log.erase(log.begin(), log.end() - static_cast<std::ptrdiff_t>(limits::eventLogCapacity));
  }
  directories.writeEventLog(encodeDocument(eventsToJson(log)));
}

void NotificationCooldown::notify(const std::vector<HelperBlockedAppEvent>& events, TimePoint now,
                                  HelperBlockedApplicationNotifier& notifier) {
  const auto cooldown = std::chrono::duration<double>(seconds_);
  for (const auto& event : events) {
    if (event.bundleIdentifier.empty()) continue;
    const auto last = lastNotificationDatesByBundleIdentifier.find(event.bundleIdentifier);
    // A clock that moved backwards gives a negative distance, which counts as within the cooldown.
    if (last != lastNotificationDatesByBundleIdentifier.end() && now - last->second < cooldown) continue;
    bool started = false;
    try {
      started = notifier.notify(event);
    } catch (...) {
      // Notifications are best-effort.
    }
    if (started) lastNotificationDatesByBundleIdentifier[event.bundleIdentifier] = now;
  }
}

}  // namespace vellorin
