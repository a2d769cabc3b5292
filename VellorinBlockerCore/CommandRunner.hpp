// The external command runner: a tool by absolute path, an argument array, one pipe for its output.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellorin {

// Whether a run's caller waits for the tool.
enum class RunMode {
  // The run returns once the tool has ended, with everything it wrote.
  wait,
  // Started and not waited for: the run returns at once, with no output (the tool's is
  // discarded). The tool is reaped later (see RunningTools::reapBackground), and killed with its
  // group once its time limit has passed.
  background,
};

struct RunOptions {
  // A non-zero exit status is no failure: the output is returned.
  bool allowFailure = false;
  // When the limit ends, the tool and everything it started in its process group are killed and
  // reaped; without one, the run waits.
  std::optional<std::chrono::milliseconds> timeLimit;
  RunMode mode = RunMode::wait;
};

// A run stopped by its time limit, whatever the options say about failure: "<tool> did not finish
// within <n> seconds and was stopped".
class ToolTimeoutError : public std::runtime_error {
 public:
  ToolTimeoutError(const std::string& executable, std::chrono::milliseconds timeLimit);

 protected:
  explicit ToolTimeoutError(const std::string& message) : std::runtime_error(message) {}
};

// Runs a tool (never searched for, never through a shell) in a process group of its own and
// returns everything it wrote to its standard output and standard error together, in the order
// written, as raw bytes. A run that ends with a non-zero status fails with
// HelperCommandError::commandFailed carrying the output as UTF-8 text (the empty text when it is
// not valid UTF-8, shortened to limits::toolOutputInErrorText bytes) and the status, unless failure
// is allowed; one that outlives its time limit fails with ToolTimeoutError. A tool that cannot be
// started (a missing executable included) fails with std::system_error, whatever the options say.
using ProcessRunner = std::function<std::string(const std::string& executable,
                                                const std::vector<std::string>& arguments, const RunOptions& options)>;

// The real runner: posix_spawn with one pipe for both output streams; the pipe is read to its end
// before the child is reaped, and the child is always reaped (see RunningTools).
std::string runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                       const RunOptions& options);

// The exit-status policy of every runner, the stand-ins for missing tools included: the output of
// a run that ended with `exitStatus`, or the commandFailed failure.
std::string outputUnderPolicy(std::string bytes, int exitStatus, const RunOptions& options);

// A tool's output as text: the bytes when they are valid UTF-8, otherwise the empty text.
std::string decodedOutput(std::string bytes);

}  // namespace vellorin
