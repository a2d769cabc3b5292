// The external command runner: a tool by absolute path, an argument array, one pipe for its output.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vellorin {

struct RunOptions {
  // A non-zero exit status (or a run ended by the time limit) is no failure: the output is returned.
  bool allowFailure = false;
  // A child still running when the limit ends is killed and reaped; without one, the run waits.
  std::optional<std::chrono::milliseconds> timeLimit;
};

// Runs a tool (never searched for, never through a shell) and returns everything it wrote to its
// standard output and standard error together, in the order written, as raw bytes. A run that
// ends with a non-zero status, or by the time limit, fails with HelperCommandError::commandFailed
// carrying the output as UTF-8 text (the empty text when it is not valid UTF-8), unless failure is
// allowed. A tool that cannot be started (a missing executable included) fails with
// std::system_error, whatever the options say.
using ProcessRunner = std::function<std::string(const std::string& executable, const std::vector<std::string>& arguments,
                                                const RunOptions& options)>;

// The real runner: posix_spawn with one pipe for both output streams; the pipe is read to its end
// before the child is reaped, and the child is always reaped.
std::string runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                       const RunOptions& options);

// The exit-status policy of every runner, the stand-ins for missing tools included: the output of
// a run that ended with `exitStatus` (or by the time limit), or the commandFailed failure.
std::string outputUnderPolicy(std::string bytes, int exitStatus, bool timedOut, const RunOptions& options);

// A tool's output as text: the bytes when they are valid UTF-8, otherwise the empty text.
std::string decodedOutput(std::string bytes);

}  // namespace vellorin
