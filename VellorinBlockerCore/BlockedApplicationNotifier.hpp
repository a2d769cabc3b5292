// Telling the person at the console that a blocked application was closed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/Models.hpp"

namespace vellorin {

class HelperBlockedApplicationNotifier {
 public:
  virtual ~HelperBlockedApplicationNotifier() = default;
  // Announces one closed application. Never fails: every failure is swallowed.
  virtual void notify(const HelperBlockedAppEvent& event) = 0;
};

class NoopBlockedApplicationNotifier final : public HelperBlockedApplicationNotifier {
 public:
  void notify(const HelperBlockedAppEvent&) override {}
};

using RunningProcessCommandsProvider = std::function<std::vector<std::string>()>;

// Posts "Blocked by Vellorin" in the console user's session through the per-user launcher, unless
// the focus application is running or nobody is logged in at the console.
class ConsoleUserBlockedApplicationNotifier final : public HelperBlockedApplicationNotifier {
 public:
  ConsoleUserBlockedApplicationNotifier();
  ConsoleUserBlockedApplicationNotifier(ProcessRunner processRunner,
                                        RunningProcessCommandsProvider runningProcessCommandsProvider);

  void notify(const HelperBlockedAppEvent& event) override;

  ProcessRunner processRunner;
  RunningProcessCommandsProvider runningProcessCommandsProvider;
};

}  // namespace vellorin
