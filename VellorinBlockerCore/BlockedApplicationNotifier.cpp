// Console notification is not built yet; notifications are best-effort, so nothing is posted.
#include "VellorinBlockerCore/BlockedApplicationNotifier.hpp"

namespace vellorin {

ConsoleUserBlockedApplicationNotifier::ConsoleUserBlockedApplicationNotifier()
    : ConsoleUserBlockedApplicationNotifier(defaultProcessRunner(), [] { return std::vector<std::string>{}; }) {}

ConsoleUserBlockedApplicationNotifier::ConsoleUserBlockedApplicationNotifier(
    ProcessRunner runner, RunningProcessCommandsProvider provider)
    : processRunner(std::move(runner)), runningProcessCommandsProvider(std::move(provider)) {}

void ConsoleUserBlockedApplicationNotifier::notify(const HelperBlockedAppEvent&) {}

}  // namespace vellorin
