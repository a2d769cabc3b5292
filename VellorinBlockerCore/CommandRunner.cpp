// The external command runner is not built yet: every run fails as a launch failure.
#include "VellorinBlockerCore/CommandRunner.hpp"

#include <cerrno>
#include <system_error>

namespace vellorin {

ProcessOutput runProcess(const std::string& executable, const std::vector<std::string>&,
                         std::optional<std::chrono::milliseconds>) {
  throw std::system_error(ENOSYS, std::generic_category(), "run " + executable);
}

std::string runCommand(const std::string& executable, const std::vector<std::string>& arguments, bool,
                       std::optional<std::chrono::milliseconds> timeLimit) {
  return runProcess(executable, arguments, timeLimit).bytes;
}

ProcessRunner defaultProcessRunner() {
  return [](const std::string& executable, const std::vector<std::string>& arguments, bool allowFailure) {
    return runCommand(executable, arguments, allowFailure);
  };
}

ProcessRunner boundedProcessRunner(std::chrono::milliseconds timeLimit) {
  return [timeLimit](const std::string& executable, const std::vector<std::string>& arguments, bool allowFailure) {
    return runCommand(executable, arguments, allowFailure, timeLimit);
  };
}

}  // namespace vellorin
