// Tests of the external command runner against real child processes.
#include "VellorinBlockerCore/CommandRunner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <sstream>
#include <system_error>

#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/SystemCalls.hpp"
#include "support/ProcessFixtures.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace std::chrono_literals;

std::string shell(const std::string& script, bool allowFailure) {
  return runCommand("/bin/sh", {"-c", script}, allowFailure);
}

struct PolicyCase {
  std::string name;
  std::string script;
  bool allowFailure;
  std::optional<std::string> returned;  // nothing: fails with commandFailed carrying `failureText`
  std::string failureText;
};

void PrintTo(const PolicyCase& policyCase, std::ostream* stream) { *stream << policyCase.name; }

class ExitStatusPolicy : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(ExitStatusPolicy, ReturnsOrFailsWithTheCombinedOutput) {
  const PolicyCase& c = GetParam();
  if (c.returned) {
    EXPECT_EQ(shell(c.script, c.allowFailure), *c.returned);
    return;
  }
  try {
    shell(c.script, c.allowFailure);
    FAIL() << "expected commandFailed";
  } catch (const HelperCommandError& error) {
    EXPECT_EQ(error.errorCase(), HelperCommandError::Case::commandFailed);
    EXPECT_EQ(std::string(error.what()), c.failureText);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runner, ExitStatusPolicy,
    ::testing::Values(
        PolicyCase{"StderrAndStatus1", "printf 'pfctl: no such anchor\\n' >&2; exit 1", false, std::nullopt,
                   "pfctl: no such anchor\n"},
        PolicyCase{"StderrAndStatus1Allowed", "printf 'pfctl: no such anchor\\n' >&2; exit 1", true,
                   "pfctl: no such anchor\n", ""},
        PolicyCase{"SilentFailureHasEmptyText", "exit 3", false, std::nullopt, ""},
        PolicyCase{"StreamsInterleavedInWriteOrder", "printf a; printf b >&2; printf c", false, "abc", ""},
        PolicyCase{"OutputUntrimmed", "printf '  two\\n\\n'", false, "  two\n\n", ""},
        PolicyCase{"InvalidUtf8IsEmpty", "printf 'ok \\377\\n'", false, "", ""},
        PolicyCase{"InvalidUtf8FailureIsEmpty", "printf '\\377'; exit 1", false, std::nullopt, ""},
        PolicyCase{"KilledBySignalIsAFailure", "kill -9 $$", false, std::nullopt, ""}),
    [](const auto& testCase) { return testCase.param.name; });

TEST(CommandRunner, LaunchFailuresCarryTheRealErrnoRegardlessOfPolicy) {
  testing::TemporaryDirectory directory;
  const auto notExecutable = directory / "tool";
  testing::writeTextFile(notExecutable, "#!/bin/sh\necho ran\n", 0644);

  const std::vector<std::pair<std::string, int>> cases = {
      {"/nonexistent/vellorin-tool", ENOENT},
      {(directory / "missing").string(), ENOENT},
      {notExecutable.string(), EACCES},
  };
  for (const auto& [path, expected] : cases) {
    for (const bool allowFailure : {false, true}) {
      SCOPED_TRACE(path + (allowFailure ? " allowed" : ""));
      try {
        runCommand(path, {}, allowFailure);
        ADD_FAILURE() << "expected a launch failure";
      } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), expected);
      }
    }
  }
}

TEST(CommandRunner, ExitStatus127FromTheToolIsNotALaunchFailure) {
  const ProcessOutput output = runProcess("/bin/sh", {"-c", "exit 127"});
  EXPECT_EQ(output.exitStatus, 127);
  EXPECT_FALSE(output.timedOut);
  EXPECT_EQ(runCommand("/bin/sh", {"-c", "exit 127"}, true), "");
}

TEST(CommandRunner, ReadsOutputLargerThanThePipeBuffer) {
  // Half a megabyte on each stream: a runner that waits before reading would deadlock here.
  const std::string output = shell("head -c 500000 /dev/zero | tr '\\0' a; head -c 300000 /dev/zero | tr '\\0' b >&2",
                                   false);
  ASSERT_EQ(output.size(), 800000u);
  EXPECT_EQ(output.find_first_not_of('a'), 500000u);
  EXPECT_EQ(output.find_first_not_of('b', 500000), std::string::npos);
}

TEST(CommandRunner, PassesEveryArgumentUnchangedAndAlone) {
  const std::string output =
      runCommand("/bin/sh", {"-c", "for a; do printf '[%s]' \"$a\"; done", "sh", "display \"x\" with \\", "", "*", "it's"},
                 false);
  EXPECT_EQ(output, "[display \"x\" with \\][][*][it's]");
}

TEST(CommandRunner, ChildSeesOnlyStandardStreams) {
  // A descriptor of the helper's own (close-on-exec, as all of them are) must not reach the child,
  // nor may either end of the output pipe under another number.
  UniqueFd own(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(own);
  const std::string listing = runCommand("/bin/ls", {"-1", "/proc/self/fd"}, false);
  std::set<int> descriptors;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) descriptors.insert(std::stoi(line));
  descriptors.erase(0);  // standard input is inherited as it is
  EXPECT_TRUE(descriptors.contains(1));
  EXPECT_TRUE(descriptors.contains(2));
  descriptors.erase(1);
  descriptors.erase(2);
  // What is left is the descriptor ls opened to list the directory.
  EXPECT_EQ(descriptors.size(), 1u) << listing;
}

TEST(CommandRunner, ChildDoesNotInheritAnIgnoredSigpipe) {
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  std::string status;
  try {
    status = runCommand("/bin/grep", {"^SigIgn:", "/proc/self/status"}, false);
  } catch (...) {
    ::sigaction(SIGPIPE, &previous, nullptr);
    throw;
  }
  ::sigaction(SIGPIPE, &previous, nullptr);
  const auto mask = std::stoull(status.substr(status.find(':') + 1), nullptr, 16);
  EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << status;
}

TEST(CommandRunner, TimeLimitKillsTheChildKeepsItsOutputAndReapsIt) {
  // One tool that keeps its output open, one that closes it and lingers: both are bounded.
  for (const std::string script : {"echo $$; exec sleep 30", "echo $$; exec sleep 30 >&- 2>&-"}) {
    SCOPED_TRACE(script);
    const auto started = std::chrono::steady_clock::now();
    const ProcessOutput output = runProcess("/bin/sh", {"-c", script}, 200ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_TRUE(output.timedOut);
    EXPECT_EQ(output.exitStatus, 128 + SIGKILL);
    const pid_t child = std::stoi(output.bytes);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, WNOHANG), -1);  // already reaped: no zombie left
    EXPECT_EQ(errno, ECHILD);
    EXPECT_FALSE(testing::processIsAlive(child));
  }
}

TEST(CommandRunner, TimedOutRunIsAFailedRun) {
  try {
    runCommand("/bin/sh", {"-c", "printf partial; exec sleep 30"}, false, 100ms);
    FAIL() << "expected commandFailed";
  } catch (const HelperCommandError& error) {
    EXPECT_EQ(std::string(error.what()), "partial");
  }
  EXPECT_EQ(runCommand("/bin/sh", {"-c", "printf partial; exec sleep 30"}, true, 100ms), "partial");
  EXPECT_EQ(boundedProcessRunner(5s)("/bin/sh", {"-c", "printf quick"}, false), "quick");
}

}  // namespace
}  // namespace vellorin
