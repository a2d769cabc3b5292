// The external command runner: one pipe for both output streams, read to its end within the limit.
#include "VellorinBlockerCore/CommandRunner.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <utility>

#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/RunningTools.hpp"
#include "VellorinBlockerCore/SystemCalls.hpp"
#include "VellorinBlockerCore/Text.hpp"
#include "VellorinBlockerCore/ToolSpawn.hpp"

namespace vellorin {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, for poll(): -1 without a deadline, 0 once it has passed.
int pollTimeout(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 60'000));
}

// Reads the pipe until end of file; false when the deadline passed first.
bool readToEnd(int fd, std::string& bytes, const std::optional<Clock::time_point>& deadline) {
  char buffer[16384];
  for (;;) {
    if (deadline) {
      pollfd entry{fd, POLLIN, 0};
      const int timeout = pollTimeout(deadline);
      const int ready = retryOnInterrupt([&] { return ::poll(&entry, 1, timeout); });
      if (ready < 0) throwSystemError("poll");
      if (ready == 0) {
        if (Clock::now() >= *deadline) return false;
        continue;
      }
    }
    const ssize_t count = retryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (count < 0) throwSystemError("read");
    if (count == 0) return true;
    bytes.append(buffer, static_cast<size_t>(count));
  }
}

// "5 seconds", "1 second", "0.5 seconds".
std::string formatSeconds(std::chrono::milliseconds duration) {
  const auto count = static_cast<int>(duration.count());  // a limit of seconds, far below INT_MAX
  if (count == 1000) return "1 second";
  if (count % 1000 == 0) return std::to_string(count / 1000) + " seconds";
  return std::to_string(count / 1000) + "." + std::to_string(count % 1000 / 100) + " seconds";
}

// Waits for the tool to end; nothing when the deadline passed first. A tool may close its output
// and keep running, so the wait is bounded too when there is a time limit.
std::optional<int> waitForEnd(RunningTools::Foreground& tool, const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return tool.waitForExit();
  // A tool that has closed its output is usually gone a moment later: short pauses at first.
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    if (const auto status = tool.exitStatusIfEnded()) return status;
    if (Clock::now() >= *deadline) return std::nullopt;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
  }
}

}  // namespace

std::string runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                       const RunOptions& options) {
  // Checked before spawning rather than inferred from the child: a C library that reports a failed
  // exec only through exit status 127 would otherwise make a missing tool look like a tool that
  // ran and failed.
  if (::access(executable.c_str(), F_OK) != 0) throwSystemError("posix_spawn " + executable);
  if (options.mode == RunMode::background) {
    RunningTools::reapBackground();
    RunningTools::startInBackground(executable, arguments, options.timeLimit.value_or(limits::launcherTimeLimit));
    return {};
  }

  std::optional<Clock::time_point> deadline;
  if (options.timeLimit) deadline = Clock::now() + *options.timeLimit;

  OutputPipe pipe = makeOutputPipe();
  RunningTools::Foreground tool(executable, arguments, pipe.writeEnd.get());
  pipe.writeEnd.reset();  // Otherwise our own copy keeps the pipe open and the read never ends.

  std::string bytes;
  std::optional<int> status;
  if (readToEnd(pipe.readEnd.get(), bytes, deadline)) status = waitForEnd(tool, deadline);
  if (!status) {
    tool.kill();
    throw ToolTimeoutError(executable, *options.timeLimit);
  }
  return outputUnderPolicy(std::move(bytes), *status, options);
}

ToolTimeoutError::ToolTimeoutError(const std::string& executable, std::chrono::milliseconds timeLimit)
    : std::runtime_error(executable + " did not finish within " + formatSeconds(timeLimit) + " and was stopped") {}

std::string outputUnderPolicy(std::string bytes, int exitStatus, const RunOptions& options) {
  if (exitStatus != 0 && !options.allowFailure) {
    // What a tool printed reaches error texts, some of which every user can read: its own message
    // fits, a listing of other users' processes does not.
    throw HelperCommandError::commandFailed(
        truncatedAtCharacter(decodedOutput(std::move(bytes)), limits::toolOutputInErrorText), exitStatus);
  }
  return bytes;
}

std::string decodedOutput(std::string bytes) { return isValidUtf8(bytes) ? std::move(bytes) : std::string(); }

}  // namespace vellorin
