// Tests of the external command runner against real child processes, and of the signal guard.
#include "VellorinBlockerCore/CommandRunner.hpp"

#include <fcntl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <system_error>

#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/ProcessSnapshot.hpp"
#include "VellorinBlockerCore/RunningTools.hpp"
#include "VellorinBlockerCore/SystemCalls.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace std::chrono_literals;
using testing::processHasEnded;
using testing::TemporaryDirectory;
using testing::waitFor;

// The output, or "failed: <text>" when the run fails with commandFailed.
std::string outcome(const std::vector<std::string>& arguments, RunOptions options) {
  try {
    return runProcess("/bin/sh", arguments, options);
  } catch (const HelperCommandError& error) {
    return "failed: " + std::string(error.what());
  }
}

TEST(CommandRunner, ExitStatusPolicyOutputAndArguments) {
  const RunOptions strict{}, allowed{.allowFailure = true};
  const std::vector<std::tuple<std::vector<std::string>, RunOptions, std::string>> cases = {
      {{"-c", "printf 'no such anchor\\n' >&2; exit 1"}, strict, "failed: no such anchor\n"},
      {{"-c", "printf 'no such anchor\\n' >&2; exit 1"}, allowed, "no such anchor\n"},
      {{"-c", "printf a; printf b >&2; printf c"}, strict, "abc"},  // one pipe, in write order
      {{"-c", "printf '\\377'; kill -9 $$"}, strict, "failed: "},   // decoded failure text; killed is failed
      // More than the pipe buffer on both streams: a runner that waits before reading deadlocks.
      {{"-c", "head -c 500000 /dev/zero; head -c 300000 /dev/zero >&2"}, strict, std::string(800000, '\0')},
      {{"-c", "for a; do printf '[%s]' \"$a\"; done", "sh", "\"x\" \\", "", "*"}, strict, "[\"x\" \\][][*]"},
  };
  for (const auto& [arguments, options, expected] : cases)
    EXPECT_EQ(outcome(arguments, options), expected) << arguments[1];
  for (const bool allowFailure : {false, true}) {  // a missing tool is a launch failure whatever the policy
    try {
      runProcess("/nonexistent/vellorin-tool", {}, RunOptions{.allowFailure = allowFailure});
      ADD_FAILURE() << "expected a launch failure";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), ENOENT);
    }
  }
}

TEST(CommandRunner, ChildSeesOnlyTheStandardStreams) {
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
}

TEST(CommandRunner, TimeLimitKillsTheToolWithItsWholeGroupAndFailsTheRunWhateverThePolicy) {
  // One tool that keeps its output open, one that closes it and lingers, each with a process it
  // started that holds the output (or not): all are gone at the limit, and the tool is reaped.
  const TemporaryDirectory temp;
  const std::string pids = (temp.path() / "pids").string();
  for (const std::string tail : {"exec sleep 30", "exec sleep 30 >&- 2>&-"}) {
    const std::string script = "sleep 30 & echo $! $$ >" + pids + "; " + tail;
    const auto started = std::chrono::steady_clock::now();
    try {
      runProcess("/bin/sh", {"-c", script}, RunOptions{.allowFailure = true, .timeLimit = 200ms});
      ADD_FAILURE() << "expected a time-out";
    } catch (const ToolTimeoutError& error) {
      EXPECT_STREQ(error.what(), "/bin/sh did not finish within 0.2 seconds and was stopped");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    pid_t startedByTool = 0, tool = 0;
    std::ifstream(pids) >> startedByTool >> tool;
    EXPECT_TRUE(::waitpid(tool, nullptr, WNOHANG) == -1 && errno == ECHILD) << tail;  // reaped
    EXPECT_TRUE(waitFor([&] { return processHasEnded(startedByTool); }, 2s)) << tail;
  }
}

// What a failed tool printed reaches error texts that every user can read: its own message fits, a
// listing of everyone's processes never does.
TEST(CommandRunner, AFailedRunCarriesAShortenedOutputAndAFailedSnapshotNoListing) {
  const std::string failed = outcome({"-c", "head -c 100000 /dev/zero | tr '\\0' x; exit 3"}, {});
  EXPECT_EQ(failed, "failed: " + std::string(limits::toolOutputInErrorText, 'x') + "\xE2\x80\xA6");
  const ProcessRunner listing = [](const std::string&, const std::vector<std::string>&, const RunOptions& options) {
    return runProcess("/bin/sh", {"-c", "printf '  7  1 /Users/ann/secret --token=42\\nps: bad option\\n'; exit 1"},
                      options);
  };
  EXPECT_EQ(testing::failureText([&] { takeProcessSnapshot(listing); }),
            "/bin/ps exited with status 1: ps: bad option");
}

// At most a fixed number of runs in the background; each is killed with its group at its limit and
// reaped, and one that ends by itself is reaped without waiting for its limit.
TEST(BackgroundRuns, AreCappedKilledAtTheirLimitAndReaped) {
  const TemporaryDirectory temp;
  const std::string pids = (temp.path() / "pids").string();
  const RunOptions shortLimit{.timeLimit = 300ms, .mode = RunMode::background};
  for (size_t i = 0; i < limits::backgroundRunCapacity; ++i) {
    runProcess("/bin/sh", {"-c", "sleep 30 & echo $! $$ >>" + pids + "; exec sleep 30"}, shortLimit);
  }
  EXPECT_THROW(runProcess("/bin/sleep", {"30"}, shortLimit), std::runtime_error);
  const auto allReaped = [] {
    RunningTools::reapBackground();
    return RunningTools::backgroundCount() == 0;
  };
  EXPECT_TRUE(waitFor(allReaped, 5s));
  std::ifstream started(pids);
  size_t count = 0;
  for (pid_t startedByTool = 0, tool = 0; started >> startedByTool >> tool; ++count) {
    EXPECT_TRUE(::waitpid(tool, nullptr, WNOHANG) == -1 && errno == ECHILD) << "reaped";
    EXPECT_TRUE(waitFor([&] { return processHasEnded(startedByTool); }, 2s)) << "killed with its group";
  }
  EXPECT_EQ(count, limits::backgroundRunCapacity);
  runProcess("/bin/true", {}, {.timeLimit = 30s, .mode = RunMode::background});
  EXPECT_TRUE(waitFor(allReaped, 2s));
}

// Process 0 is the caller's group, -1 every process root may signal, 1 init: none is ever a target.
TEST(Signals, NeverGoToAProcessIdBelowTwoNorToTheHelperItself) {
  for (const pid_t pid : {-1, 0, 1, ::getpid()}) EXPECT_FALSE(signalProcess(pid, 0)) << pid;  // 0: no signal sent
}

}  // namespace
}  // namespace vellorin
