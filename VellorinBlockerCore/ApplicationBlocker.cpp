// Application blocking is not built yet: terminate says so instead of pretending to succeed.
#include "VellorinBlockerCore/ApplicationBlocker.hpp"

#include <stdexcept>

namespace vellorin {

ApplicationBlocker::ApplicationBlocker(HelperPaths paths_) : ApplicationBlocker(std::move(paths_), runningProcesses) {}

ApplicationBlocker::ApplicationBlocker(HelperPaths paths_, RunningProcessesProvider provider, ProcessRunner runner)
    : paths(std::move(paths_)), runningProcessesProvider(std::move(provider)), processRunner(std::move(runner)) {}

std::vector<HelperBlockedAppEvent> ApplicationBlocker::terminate(const std::vector<HelperApp>&, const std::string&,
                                                                 const std::vector<AllowedProcessMatcher>&) const {
  throw std::runtime_error("Application blocking is not available in this build.");
}

std::vector<RunningProcess> ApplicationBlocker::runningProcesses() {
  throw std::runtime_error("Application blocking is not available in this build.");
}

}  // namespace vellorin
