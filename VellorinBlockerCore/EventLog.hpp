// The event log beside the command directory, and the cooldown of the announcements of its events.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "VellorinBlockerCore/BlockedApplicationNotifier.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/SharedDirectories.hpp"

namespace vellorin {

// Appends the events to the log in the shared directories, keeping the newest
// limits::eventLogCapacity. A log that is unreadable, does not decode or is not a plain file (it
// lives where every user can write) counts as empty; one that changes while it is read is read
// again, up to limits::eventLogReadAttempts times, and then counts as empty too. The caller holds
// the session lock. Throws when the log cannot be written.
void appendToEventLog(const SharedDirectories::Open& directories, const std::vector<HelperBlockedAppEvent>& events);

// At most one announcement per application (by bundle identifier) within the cooldown.
class NotificationCooldown {
 public:
  explicit NotificationCooldown(double seconds) : seconds_(seconds) {}

  // Hands each event with a bundle identifier to the notifier unless that application was
  // announced less than the cooldown before `now` (a clock that moved backwards counts as within
  // it). An application's time is set only when its notification was started: one that could not
  // be is tried again with the next event.
  void notify(const std::vector<HelperBlockedAppEvent>& events, TimePoint now,
              HelperBlockedApplicationNotifier& notifier);
  // Forgets every announcement (a restore).
  void forget() { lastNotificationDatesByBundleIdentifier.clear(); }

  // NOLINTNEXTLINE(cppcoreguidelines-non-private-member-variables-in-classes,misc-non-private-member-variables-in-classes)
  std::map<std::string, TimePoint> lastNotificationDatesByBundleIdentifier;

 private:
  double seconds_;
};

}  // namespace vellorin
