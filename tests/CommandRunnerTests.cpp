// Tests of the external command runner against real child processes.
#include "VellorinBlockerCore/CommandRunner.hpp"

#include <fcntl.h>
#include <signal.h>
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
std::string outcome(const std::vector<std::string>& arguments, RunOptions options) {
  try {
    return runProcess("/bin/sh", arguments, options);
  } catch (const HelperCommandError& error) {
    EXPECT_EQ(error.errorCase(), HelperCommandError::Case::commandFailed);
    return "failed: " + std::string(error.what());
  }
}

TEST(CommandRunner, ExitStatusPolicyOutputAndArguments) {
  const RunOptions strict{}, allowed{.allowFailure = true};
  const std::vector<std::tuple<std::vector<std::string>, RunOptions, std::string>> cases = {
      {{"-c", "printf 'no such anchor\\n' >&2; exit 1"}, strict, "failed: no such anchor\n"},
      {{"-c", "printf 'no such anchor\\n' >&2; exit 1"}, allowed, "no such anchor\n"},
      {{"-c", "printf a; printf b >&2; printf c"}, strict, "abc"},  // one pipe, in write order
      {{"-c", "printf 'ok \\377\\n'"}, strict, "ok \377\n"},        // bytes come back undecoded
      {{"-c", "printf '\\377'; exit 1"}, strict, "failed: "},       // the failure's text is decoded
      {{"-c", "kill -9 $$"}, strict, "failed: "},
      {{"-c", "exit 127"}, allowed, ""},  // the tool's own status, not a launch failure
      // More than the pipe buffer on both streams: a runner that waits before reading deadlocks.
      {{"-c", "head -c 500000 /dev/zero; head -c 300000 /dev/zero >&2"}, strict, std::string(800000, '\0')},
      {{"-c", "for a; do printf '[%s]' \"$a\"; done", "sh", "\"x\" \\", "", "*"}, strict, "[\"x\" \\][][*]"},
  };
  for (const auto& [arguments, options, expected] : cases) {
    EXPECT_EQ(outcome(arguments, options), expected) << arguments[1] << (options.allowFailure ? " (allowed)" : "");
  }
  EXPECT_EQ(decodedOutput("ok \377\n"), "");
}

TEST(CommandRunner, LaunchFailuresCarryTheRealErrnoRegardlessOfPolicy) {
  for (const auto& [name, expected] :
       {std::pair{"/nonexistent/vellorin-tool", ENOENT}, std::pair{"/etc/passwd", EACCES}}) {  // 0644: not executable
    for (const bool allowFailure : {false, true}) {
      try {
        runProcess(name, {}, RunOptions{.allowFailure = allowFailure});
        ADD_FAILURE() << "expected a launch failure for " << name;
      } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), expected) << name;
      }
    }
  }
}

TEST(CommandRunner, ChildSeesOnlyStandardStreamsAnEmptySignalMaskAndDefaultSignals) {
  // A descriptor left open without close-on-exec by whoever started the helper must not reach the
  // child, nor may either end of the output pipe under another number.
  UniqueFd inherited(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(inherited);
  std::istringstream listing(runProcess("/bin/ls", {"-1", "/proc/self/fd"}, {}));
  std::set<std::string> descriptors(std::istream_iterator<std::string>(listing), {});
  descriptors.erase("0");  // standard input is inherited as it is
  // The joined output, and the descriptor ls opened to list the directory.
  EXPECT_TRUE(descriptors.contains("1") && descriptors.contains("2") && descriptors.size() == 3)
      << ::testing::PrintToString(descriptors);

  // The helper ignores SIGPIPE and may block signals; a tool must start with neither.
  sigset_t blocked, previousMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
  const auto previousPipe = ::signal(SIGPIPE, SIG_IGN);
  std::istringstream status(runProcess("/bin/grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"}, {}));
  ::signal(SIGPIPE, previousPipe);
  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  std::string blockedLabel, blockedMask, ignoredLabel, ignoredMask;
  status >> blockedLabel >> blockedMask >> ignoredLabel >> ignoredMask;
  EXPECT_EQ(blockedLabel + blockedMask, "SigBlk:0000000000000000");
  EXPECT_EQ(std::stoull(ignoredMask, nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << ignoredMask;
}

TEST(CommandRunner, TimeLimitKillsAndReapsTheChildAndFailsTheRun) {
  // One tool that keeps its output open, one that closes it and lingers: both are bounded.
  for (const std::string script : {"echo $$; exec sleep 30", "echo $$; exec sleep 30 >&- 2>&-"}) {
    const auto started = std::chrono::steady_clock::now();
    const std::string output = runProcess("/bin/sh", {"-c", script}, RunOptions{.allowFailure = true, .timeLimit = 200ms});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    // Already reaped: no zombie left.
    EXPECT_TRUE(::waitpid(std::stoi(output), nullptr, WNOHANG) == -1 && errno == ECHILD) << script;
  }
  EXPECT_EQ(outcome({"-c", "printf partial; exec sleep 30"}, RunOptions{.timeLimit = 100ms}), "failed: partial");
  EXPECT_EQ(outcome({"-c", "printf quick"}, RunOptions{.timeLimit = 5s}), "quick");
}

}  // namespace
}  // namespace vellorin
