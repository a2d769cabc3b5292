// Tests of the external command runner against real child processes.
#include "VellorinBlockerCore/CommandRunner.hpp"

#include <fcntl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <sstream>
#include <system_error>

#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/SystemCalls.hpp"

namespace vellorin {
namespace {

using namespace std::chrono_literals;

// The output, or "failed: <text>" when the run fails with commandFailed.
std::string outcome(const std::vector<std::string>& arguments, bool allowFailure,
                    std::optional<std::chrono::milliseconds> limit = {}) {
  try {
    return runCommand("/bin/sh", arguments, allowFailure, limit);
  } catch (const HelperCommandError& error) {
    EXPECT_EQ(error.errorCase(), HelperCommandError::Case::commandFailed);
    return "failed: " + std::string(error.what());
  }
}

TEST(CommandRunner, ExitStatusPolicyOutputDecodingAndArguments) {
  const std::vector<std::tuple<std::vector<std::string>, bool, std::string>> cases = {
      {{"-c", "printf 'no such anchor\\n' >&2; exit 1"}, false, "failed: no such anchor\n"},
      {{"-c", "printf 'no such anchor\\n' >&2; exit 1"}, true, "no such anchor\n"},
      {{"-c", "printf a; printf b >&2; printf c"}, false, "abc"},  // one pipe, in write order
      {{"-c", "printf 'ok \\377\\n'"}, false, ""},
      {{"-c", "printf '\\377'; exit 1"}, false, "failed: "},
      {{"-c", "kill -9 $$"}, false, "failed: "},
      {{"-c", "exit 127"}, true, ""},  // the tool's own status, not a launch failure
      // More than the pipe buffer on both streams: a runner that waits before reading deadlocks.
      {{"-c", "head -c 500000 /dev/zero; head -c 300000 /dev/zero >&2"}, false, std::string(800000, '\0')},
      {{"-c", "for a; do printf '[%s]' \"$a\"; done", "sh", "\"x\" \\", "", "*"}, false, "[\"x\" \\][][*]"},
  };
  for (const auto& [arguments, allowFailure, expected] : cases) {
    EXPECT_EQ(outcome(arguments, allowFailure), expected) << arguments[1] << (allowFailure ? " (allowed)" : "");
  }
}

TEST(CommandRunner, LaunchFailuresCarryTheRealErrnoRegardlessOfPolicy) {
  for (const auto& [name, expected] :
       {std::pair{"/nonexistent/vellorin-tool", ENOENT}, std::pair{"/etc/passwd", EACCES}}) {  // 0644: not executable
    for (const bool allowFailure : {false, true}) {
      try {
        runCommand(name, {}, allowFailure);
        ADD_FAILURE() << "expected a launch failure for " << name;
      } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), expected) << name;
      }
    }
  }
}

TEST(CommandRunner, ChildSeesOnlyStandardStreams) {
  // A descriptor of the helper's own (close-on-exec, as all of them are) must not reach the child,
  // nor may either end of the output pipe under another number.
  UniqueFd own(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(own);
  std::istringstream listing(runCommand("/bin/ls", {"-1", "/proc/self/fd"}, false));
  std::set<std::string> descriptors(std::istream_iterator<std::string>(listing), {});
  descriptors.erase("0");  // standard input is inherited as it is
  // The joined output, and the descriptor ls opened to list the directory.
  EXPECT_TRUE(descriptors.contains("1") && descriptors.contains("2") && descriptors.size() == 3)
      << ::testing::PrintToString(descriptors);
}

TEST(CommandRunner, TimeLimitKillsAndReapsTheChildAndFailsTheRun) {
  // One tool that keeps its output open, one that closes it and lingers: both are bounded.
  for (const std::string script : {"echo $$; exec sleep 30", "echo $$; exec sleep 30 >&- 2>&-"}) {
    const auto started = std::chrono::steady_clock::now();
    const ProcessOutput output = runProcess("/bin/sh", {"-c", script}, 200ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_TRUE(output.timedOut && output.exitStatus == 128 + SIGKILL) << output.exitStatus;
    // Already reaped: no zombie left.
    EXPECT_TRUE(::waitpid(std::stoi(output.bytes), nullptr, WNOHANG) == -1 && errno == ECHILD) << script;
  }
  EXPECT_EQ(outcome({"-c", "printf partial; exec sleep 30"}, false, 100ms), "failed: partial");
  EXPECT_EQ(outcome({"-c", "printf partial; exec sleep 30"}, true, 100ms), "partial");
}

}  // namespace
}  // namespace vellorin
