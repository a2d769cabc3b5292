// The external command runner: a tool by absolute path, an argument array, one pipe for its output.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vellorin {

struct ProcessOutput {
  std::string bytes;       // standard output and standard error together, as written, undecoded
  int exitStatus = 0;      // the exit status, or 128 + the signal number for a child ended by a signal
  bool timedOut = false;   // the time limit ran out and the child was ended
};

// Starts the executable (never searched for, never through a shell) with the arguments, its
// standard output and standard error joined into one pipe, reads the pipe to its end and reaps the
// child. With a time limit, a child still running when it ends is killed and reaped, and the run
// reports timedOut. Throws std::system_error when the child cannot be started (a missing executable
// included). Where the executable does not exist on this system and a platform stand-in serves it
// (see PlatformTools.hpp), the stand-in answers instead.
ProcessOutput runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         std::optional<std::chrono::milliseconds> timeLimit = std::nullopt);

// The runner with its exit-status policy: the output decoded as UTF-8 (the empty text when it is
// not valid UTF-8); a non-zero exit status (or a time-out) fails with
// HelperCommandError::commandFailed carrying the output unless allowFailure is true.
std::string runCommand(const std::string& executable, const std::vector<std::string>& arguments, bool allowFailure,
                       std::optional<std::chrono::milliseconds> timeLimit = std::nullopt);

// The injectable form every owner holds: (executable, arguments, allowFailure) -> output text.
using ProcessRunner =
    std::function<std::string(const std::string& executable, const std::vector<std::string>& arguments, bool allowFailure)>;

// runCommand without a time limit.
ProcessRunner defaultProcessRunner();

// runCommand with a time limit, for best-effort tools (the notification, the DNS cache flush) that
// must never stall the daemon.
ProcessRunner boundedProcessRunner(std::chrono::milliseconds timeLimit);

}  // namespace vellorin
