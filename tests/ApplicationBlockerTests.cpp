// Tests of the process snapshot parser, target matching, the exemption walk and termination.
#include "VellorinBlockerCore/ApplicationBlocker.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <system_error>

#include "support/ProcessFixtures.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace std::chrono_literals;
using testing::RecordedCall;
using testing::RecordingRunner;

HelperApp app(const std::string& bundleIdentifier, const std::string& name, const std::string& path) {
  return HelperApp{"id-" + bundleIdentifier, bundleIdentifier, name, path, false, std::nullopt};
}

std::vector<int32_t> pidsOf(const std::vector<MatchedApplicationProcess>& matches) {
  std::vector<int32_t> pids;
  for (const auto& match : matches) pids.push_back(match.process.pid);
  return pids;
}

// ---- snapshot parsing ----

TEST(ProcessSnapshot, ParsesRightAlignedColumnsAndSkipsOnlyBadLines) {
  const std::string output =
      "    1     0 /sbin/launchd\n"
      "  412     1 /Applications/Slack Beta.app/Contents/MacOS/Slack  --type=renderer   \n"
      "\t77\t412\tcmd\twith tab\n"
      "\n"
      "500 1\n"                             // two columns only
      "abc 1 /bin/x\n"                      // pid not a number
      "12a 1 /bin/x\n"                      // trailing garbage
      "2147483648 1 /bin/too-big\n"         // above the 32-bit range
      "5 -2147483649 /bin/too-small\n"      // parent below the range
      "6 - /bin/sign-only\n"
      "2147483647 -2147483648 /bin/edge\n"  // the range's own ends
      "+8 -1 /bin/signed\r\n"
      "9 1 /bin/bad-\xff-byte\n"            // not UTF-8: skipped, neighbours survive
      "10 1 /Applications/Caf\xc3\xa9.app/Contents/MacOS/Caf\xc3\xa9\r"
      "11 1 last-without-newline";
  const std::vector<RunningProcess> expected = {
      {1, 0, "/sbin/launchd"},
      {412, 1, "/Applications/Slack Beta.app/Contents/MacOS/Slack  --type=renderer"},
      {77, 412, "cmd\twith tab"},
      {2147483647, -2147483648, "/bin/edge"},
      {8, -1, "/bin/signed"},
      {10, 1, "/Applications/Caf\xc3\xa9.app/Contents/MacOS/Caf\xc3\xa9"},
      {11, 1, "last-without-newline"},
  };
  EXPECT_EQ(ApplicationBlocker::parseProcessSnapshot(output), expected);
}

TEST(ProcessSnapshot, DefaultSnapshotSeesThisProcessWithItsParent) {
  const auto processes = ApplicationBlocker::runningProcesses();
  const auto self = std::find_if(processes.begin(), processes.end(),
                                 [](const RunningProcess& process) { return process.pid == ::getpid(); });
  ASSERT_NE(self, processes.end());
  EXPECT_EQ(self->ppid, ::getppid());
  EXPECT_NE(self->command.find("VellorinTests"), std::string::npos) << self->command;
}

// ---- matching ----

struct MatchCase {
  std::string command;
  bool matches;
};

TEST(ApplicationMatching, PathRules) {
  const std::string path = "/Applications/Slack.app";
  const std::vector<MatchCase> cases = {
      {"/Applications/Slack.app", true},
      {"/Applications/Slack.app/", true},
      {"/Applications/Slack.app/Contents/MacOS/Slack --foreground", true},
      {"/Applications/Slack.app/Contents/Frameworks/Slack Helper.app/Contents/MacOS/Slack Helper", true},
      {"/usr/bin/open -a /Applications/Slack.app/Contents/MacOS/Slack", true},  // named later on
      {"/usr/bin/open /Applications/Slack.app", false},                        // neither equal nor prefix
      {"/Applications/Slack.appx/Contents/MacOS/Slack", false},                // sibling bundle
      {"/Applications/Slack.app Beta", false},
      {"/Applications/Slack.app.bak/run", false},
      {"/applications/slack.app/Contents/MacOS/Slack", false},  // case differs
      {"/Applications/Slack.ap", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const auto matches = ApplicationBlocker::matchingProcesses({app("com.slack", "Slack", path)},
                                                               {RunningProcess(100, 1, c.command)}, {});
    EXPECT_EQ(matches.size(), c.matches ? 1u : 0u);
  }
}

TEST(ApplicationMatching, FirstTargetWinsSortedByPidAndLowIdentifiersNeverMatch) {
  const HelperApp empty = app("com.empty", "Empty", "");
  const HelperApp inner = app("com.inner", "Inner", "/A/Outer.app/Contents/Inner.app");
  const HelperApp outer = app("com.outer", "Outer", "/A/Outer.app");
  const std::vector<RunningProcess> snapshot = {
      {300, 1, "/A/Outer.app/Contents/MacOS/Outer"},
      {-5, 1, "/A/Outer.app/Contents/MacOS/Outer"},
      {0, 0, "/A/Outer.app/Contents/MacOS/Outer"},
      {1, 0, "/A/Outer.app/Contents/MacOS/Outer"},
      {2, 0, "/A/Outer.app/Contents/MacOS/Outer"},
      {200, 1, "/A/Outer.app/Contents/Inner.app/Contents/MacOS/Inner"},  // both targets match it
      {250, 1, "/bin/unrelated"},
  };
  const auto matches = ApplicationBlocker::matchingProcesses({empty, inner, outer}, snapshot, {});
  EXPECT_EQ(pidsOf(matches), (std::vector<int32_t>{2, 200, 300}));
  EXPECT_EQ(matches[1].app, inner);
  EXPECT_EQ(matches[2].app, outer);

  const auto reversed = ApplicationBlocker::matchingProcesses({outer, inner}, snapshot, {});
  EXPECT_EQ(reversed[1].app, outer);

  EXPECT_TRUE(ApplicationBlocker::matchingProcesses({empty, empty}, snapshot, {}).empty());
  EXPECT_TRUE(ApplicationBlocker::matchingProcesses({}, snapshot, {}).empty());
}

TEST(AllowedProcessMatcher, RequiresEveryNonEmptyEntry) {
  const std::string command = "/Chrome --user-data-dir=/tmp/x --remote-debugging-port=0 vellorin-marker";
  const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
      {{"--user-data-dir=/tmp/x", "--remote-debugging-port=", "vellorin-marker"}, true},
      {{"vellorin-marker", "--user-data-dir=/tmp/x"}, true},                       // order is free
      {{"--user-data-dir=/tmp/x", "", "vellorin-marker"}, true},                   // empty entries dropped
      {{"marker", "vellorin-m"}, true},                                            // overlaps allowed
      {{"--user-data-dir=/tmp/x", "--remote-debugging-port=", "other-marker"}, false},
      {{"VELLORIN-MARKER"}, false},
      {{"", ""}, false},
      {{}, false},
  };
  for (const auto& [entries, expected] : cases) {
    EXPECT_EQ(AllowedProcessMatcher{entries}.matches(command), expected) << ::testing::PrintToString(entries);
  }
}

TEST(ApplicationMatching, ExemptionCoversDescendantsAndStopsAtGapsAndCycles) {
  const HelperApp chrome = app("com.google.Chrome", "Chrome", "/Applications/Chrome.app");
  const std::string main = "/Applications/Chrome.app/Contents/MacOS/Chrome";
  const std::vector<RunningProcess> snapshot = {
      {10, 1, main + " --user-data-dir=/tmp/p --remote-debugging-port=0 mark"},  // the controlled browser
      {11, 10, main + " Helper --type=gpu"},
      {12, 11, main + " Helper --type=renderer"},
      {20, 1, main},                       // the person's own browser
      {21, 20, main + " Helper"},
      {30, 999, main + " Helper"},         // parent not in the snapshot
      {40, 41, main + " Helper"},          // parent cycle, neither allowed
      {41, 40, main + " Helper"},
      {50, 0, main + " Helper"},           // parent 0 is not in the snapshot
  };
  const AllowedProcessMatcher controlled{{"--user-data-dir=/tmp/p", "--remote-debugging-port=", "mark"}};
  const std::vector<int32_t> everything = {10, 11, 12, 20, 21, 30, 40, 41, 50};

  EXPECT_EQ(ApplicationBlocker::matchingProcessIDs({chrome}, snapshot, {controlled}),
            (std::vector<int32_t>{20, 21, 30, 40, 41, 50}));
  EXPECT_EQ(ApplicationBlocker::allowedProcessIDs(snapshot, {controlled}), (std::unordered_set<int32_t>{10, 11, 12}));
  // Matchers that exempt nothing.
  EXPECT_EQ(ApplicationBlocker::matchingProcessIDs({chrome}, snapshot, {}), everything);
  EXPECT_EQ(ApplicationBlocker::matchingProcessIDs({chrome}, snapshot, {AllowedProcessMatcher{{"", ""}}}), everything);
  EXPECT_EQ(ApplicationBlocker::matchingProcessIDs(
                {chrome}, snapshot,
                {AllowedProcessMatcher{{"--user-data-dir=/tmp/p", "--remote-debugging-port=", "other-mark"}}}),
            everything);

  std::unordered_map<int32_t, RunningProcess> byID;
  for (const auto& process : snapshot) byID.emplace(process.pid, process);
  EXPECT_FALSE(ApplicationBlocker::processHasAllowedAncestor(snapshot[6], byID, {10}));
  EXPECT_FALSE(ApplicationBlocker::processHasAllowedAncestor(RunningProcess(0, 10, "x"), byID, {0, 10}));
  EXPECT_TRUE(ApplicationBlocker::processHasAllowedAncestor(snapshot[2], byID, {10}));
}

// ---- termination with injected collaborators ----

// Answers each snapshot request with the next prepared snapshot; throws when none is left.
class ScriptedSnapshots {
 public:
  explicit ScriptedSnapshots(std::vector<std::vector<RunningProcess>> snapshots)
      : snapshots_(std::make_shared<std::vector<std::vector<RunningProcess>>>(std::move(snapshots))),
        taken_(std::make_shared<size_t>(0)) {}
  RunningProcessesProvider provider() const {
    return [snapshots = snapshots_, taken = taken_] {
      if (*taken >= snapshots->size()) throw HelperCommandError::commandFailed("ps: no more snapshots");
      return (*snapshots)[(*taken)++];
    };
  }
  size_t taken() const { return *taken_; }

 private:
  std::shared_ptr<std::vector<std::vector<RunningProcess>>> snapshots_;
  std::shared_ptr<size_t> taken_;
};

RecordedCall killCall(const std::string& signal, int32_t pid) { return {"/bin/kill", {signal, std::to_string(pid)}, true}; }

class Termination : public ::testing::Test {
 protected:
  HelperPaths paths(bool dryRun) { return testing::sandboxPaths("/nonexistent/vellorin", dryRun); }

  const HelperApp slack = app("com.slack", "Slack", "/Applications/Slack.app");
  const HelperApp slackCopy = app("com.slack", "Slack", "/Users/me/Slack.app");
  const HelperApp game = app("com.game", "Game", "/Applications/Game.app");
  const int32_t self = static_cast<int32_t>(::getpid());
};

TEST_F(Termination, TwoStagesSignalOnlyWhatStillMatches) {
  const std::string slackMain = "/Applications/Slack.app/Contents/MacOS/Slack";
  const std::vector<RunningProcess> first = {
      {700, 1, "/Applications/Game.app/Contents/MacOS/Game"},
      {103, 101, slackMain + " Helper"},
      {101, 1, slackMain},
      {102, 101, slackMain + " Helper"},
      {150, 1, "/Users/me/Slack.app/Contents/MacOS/Slack"},
      {200, 1, "/Applications/Game.app/Contents/MacOS/Game --child"},
      {self, 1, slackMain},  // the helper itself, even if its command line matches
      {1, 0, slackMain},
  };
  const std::vector<RunningProcess> second = {
      {101, 1, slackMain},                                          // ignored -TERM
      {102, 1, slackMain + " Helper --allow-me"},                   // became exempt: spare it
      {200, 1, "/Applications/Game.app/Contents/MacOS/Game --child"},
      {800, 1, "/Applications/Game.app/Contents/MacOS/Game"},       // new: not this call's business
      {self, 1, slackMain},
      {1, 0, slackMain},
  };
  ScriptedSnapshots snapshots({first, second});
  RecordingRunner runner;
  runner.handle("/bin/kill", [](const std::vector<std::string>& arguments, bool) -> std::string {
    if (arguments[1] == "102") throw std::system_error(ENOENT, std::generic_category(), "posix_spawn /bin/kill");
    if (arguments[1] == "103") throw HelperCommandError::commandFailed("kill: (103) - No such process");
    return "";
  });
  const ApplicationBlocker blocker(paths(false), snapshots.provider(), runner.runner());
  const AllowedProcessMatcher matcher{{"--allow-me"}};

  const auto before = std::chrono::system_clock::now();
  const auto events = blocker.terminate({game, slack, slackCopy}, "session-1", {matcher});

  const std::vector<RecordedCall> expectedCalls = {
      killCall("-TERM", 101), killCall("-TERM", 102), killCall("-TERM", 103), killCall("-TERM", 150),
      killCall("-TERM", 200), killCall("-TERM", 700), killCall("-KILL", 101), killCall("-KILL", 200),
  };
  EXPECT_EQ(runner.calls(), expectedCalls);
  EXPECT_EQ(snapshots.taken(), 2u);

  // One event per (bundle identifier, path), in order of the lowest process identifier.
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].path, slack.path);
  EXPECT_EQ(events[1].path, slackCopy.path);
  EXPECT_EQ(events[2].path, game.path);
  std::set<std::string> ids;
  for (const auto& event : events) {
    EXPECT_EQ(event.sessionID, "session-1");
    EXPECT_EQ(event.occurredAt, events[0].occurredAt);
    EXPECT_EQ(event.id.size(), 36u);
    ids.insert(event.id);
  }
  EXPECT_EQ(ids.size(), events.size());
  EXPECT_GE(events[0].occurredAt, before);
  EXPECT_EQ(events[0].bundleIdentifier, "com.slack");
  EXPECT_EQ(events[0].name, "Slack");
}

TEST_F(Termination, NothingToSignalMeansNoRunsNoPauseAndNoSecondSnapshot) {
  const std::vector<RunningProcess> snapshot = {
      {self, 1, "/Applications/Slack.app/Contents/MacOS/Slack"},
      {1, 0, "/Applications/Slack.app/Contents/MacOS/Slack"},
      {400, 1, "/bin/unrelated"},
  };
  for (const bool dryRun : {false, true}) {
    ScriptedSnapshots snapshots({snapshot});
    RecordingRunner runner;
    const auto started = std::chrono::steady_clock::now();
    const auto events = ApplicationBlocker(paths(dryRun), snapshots.provider(), runner.runner())
                            .terminate({slack}, "s", {});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 200ms);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(runner.calls().empty());
    EXPECT_EQ(snapshots.taken(), 1u);
  }
}

TEST_F(Termination, DryRunReportsWithoutSignalling) {
  ScriptedSnapshots snapshots({{{500, 1, "/Applications/Slack.app/Contents/MacOS/Slack"}}});
  RecordingRunner runner;
  const auto started = std::chrono::steady_clock::now();
  const auto events = ApplicationBlocker(paths(true), snapshots.provider(), runner.runner()).terminate({slack}, "s", {});
  EXPECT_LT(std::chrono::steady_clock::now() - started, 200ms);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].bundleIdentifier, "com.slack");
  EXPECT_TRUE(runner.calls().empty());
  EXPECT_EQ(snapshots.taken(), 1u);
}

TEST_F(Termination, SnapshotFailuresPropagate) {
  RecordingRunner runner;
  ScriptedSnapshots none({});
  EXPECT_THROW(ApplicationBlocker(paths(false), none.provider(), runner.runner()).terminate({slack}, "s", {}),
               HelperCommandError);
  EXPECT_TRUE(runner.calls().empty());

  // The second snapshot fails after the first stage already ran: the caller gets the failure.
  ScriptedSnapshots onlyFirst({{{500, 1, "/Applications/Slack.app"}}});
  EXPECT_THROW(ApplicationBlocker(paths(false), onlyFirst.provider(), runner.runner()).terminate({slack}, "s", {}),
               HelperCommandError);
  EXPECT_EQ(runner.calls(), (std::vector<RecordedCall>{killCall("-TERM", 500)}));
}

// ---- real processes ----

// Fake application bundles built from system programs, started by the test and always reaped.
class RealProcessTermination : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = testing::installFakeApplication(directory.path(), "Fake", "Fake", "/bin/sh");
    worker = testing::installFakeApplication(directory.path(), "Fake", "FakeWorker", "/bin/sleep");
    browser = testing::installFakeApplication(directory.path(), "Browser", "Browser", "/bin/sh");
    browserWorker = testing::installFakeApplication(directory.path(), "Browser", "BrowserHelper", "/bin/sleep");
  }

  HelperApp bundle(const std::string& name) {
    return app("com.test." + name, name, (directory.path() / (name + ".app")).string());
  }

  // Waits for a process that satisfies `wanted` to show in the snapshot; its identifier, or -1.
  static int32_t waitForProcess(const std::function<bool(const RunningProcess&)>& wanted) {
    int32_t found = -1;
    testing::waitUntil(
        [&] {
          for (const auto& process : ApplicationBlocker::runningProcesses()) {
            if (wanted(process)) {
              found = process.pid;
              return true;
            }
          }
          return false;
        },
        5s);
    return found;
  }
  static int32_t waitForChild(pid_t parent, const std::filesystem::path& program) {
    return waitForProcess([&](const RunningProcess& process) {
      return process.ppid == parent && process.command.starts_with(program.string());
    });
  }
  // Waits until the process runs `program` (after its shell has replaced itself with it).
  static bool waitForExec(pid_t pid, const std::filesystem::path& program) {
    return waitForProcess([&](const RunningProcess& process) {
             return process.pid == pid && process.command.starts_with(program.string());
           }) == pid;
  }

  testing::TemporaryDirectory directory;
  std::filesystem::path fake, worker, browser, browserWorker;
};

TEST_F(RealProcessTermination, EndsTheApplicationAndItsChildWithOneEvent) {
  testing::SpawnedProcess main(fake, {"-c", "\"$0\" 30 & wait", worker.string()});
  const int32_t child = waitForChild(main.pid(), worker);
  ASSERT_GT(child, 0);

  const auto events = ApplicationBlocker(testing::sandboxPaths(directory.path(), false))
                          .terminate({bundle("Fake")}, "real-session", {});

  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].path, bundle("Fake").path);
  const auto status = main.waitForExit(5s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFSIGNALED(*status));
  EXPECT_TRUE(testing::waitUntil([&] { return !testing::processIsAlive(child); }, 5s));
}

TEST_F(RealProcessTermination, ProcessIgnoringTermIsKilledInTheSecondStage) {
  // The shell ignores TERM and then becomes the worker, which keeps the ignored disposition.
  testing::SpawnedProcess stubborn(fake, {"-c", "trap '' TERM; exec \"$0\" 30", worker.string()});
  ASSERT_TRUE(waitForExec(stubborn.pid(), worker));

  const auto events = ApplicationBlocker(testing::sandboxPaths(directory.path(), false))
                          .terminate({bundle("Fake")}, "real-session", {});

  EXPECT_EQ(events.size(), 1u);
  const auto status = stubborn.waitForExit(5s);
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFSIGNALED(*status));
  EXPECT_EQ(WTERMSIG(*status), SIGKILL);
}

TEST_F(RealProcessTermination, ControlledBrowserAndItsChildSurviveWhileAnotherInstanceEnds) {
  const std::string marker = "vellorin-test-marker-" + std::to_string(::getpid());
  const std::string userDataDir = (directory.path() / "profile").string();
  testing::SpawnedProcess controlled(browser, {"-c", "\"$0\" 30 & wait", browserWorker.string(),
                                               "--user-data-dir=" + userDataDir, "--remote-debugging-port=0", marker});
  testing::SpawnedProcess personal(browser, {"-c", "exec \"$0\" 30", browserWorker.string()});
  const int32_t controlledChild = waitForChild(controlled.pid(), browserWorker);
  ASSERT_GT(controlledChild, 0);
  ASSERT_TRUE(waitForExec(personal.pid(), browserWorker));

  const AllowedProcessMatcher matcher{{"--user-data-dir=" + userDataDir, "--remote-debugging-port=", marker}};
  const auto events = ApplicationBlocker(testing::sandboxPaths(directory.path(), false))
                          .terminate({bundle("Browser")}, "real-session", {matcher});

  EXPECT_EQ(events.size(), 1u);
  EXPECT_TRUE(personal.waitForExit(5s).has_value());
  EXPECT_FALSE(controlled.waitForExit(0ms).has_value());
  EXPECT_TRUE(testing::processIsAlive(controlledChild));
  ::kill(controlledChild, SIGKILL);  // ours too: started by our own shell
}

TEST_F(RealProcessTermination, DryRunSignalsNothing) {
  testing::SpawnedProcess main(fake, {"-c", "exec \"$0\" 30", worker.string()});
  ASSERT_TRUE(waitForExec(main.pid(), worker));

  const auto events = ApplicationBlocker(testing::sandboxPaths(directory.path(), true))
                          .terminate({bundle("Fake")}, "real-session", {});

  EXPECT_EQ(events.size(), 1u);
  EXPECT_FALSE(main.waitForExit(300ms).has_value());
}

// Cost of one pass with the real tools. Run by hand:
//   VellorinTests --gtest_also_run_disabled_tests --gtest_filter='*MeasureTerminatePass*'
TEST_F(RealProcessTermination, DISABLED_MeasureTerminatePass) {
  const auto cpuSeconds = [] {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
      rusage usage{};
      ::getrusage(who, &usage);
      total += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
  };
  const ApplicationBlocker blocker(testing::sandboxPaths(directory.path(), false));
  const auto measure = [&](const char* label, int passes, const std::function<void()>& before) {
    double wall = 0, cpu = 0;
    for (int pass = 0; pass < passes; ++pass) {
      before();
      const auto wallStart = std::chrono::steady_clock::now();
      const double cpuStart = cpuSeconds();
      blocker.terminate({bundle("Fake")}, "measure", {});
      wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
      cpu += cpuSeconds() - cpuStart;
    }
    std::printf("%s: %d passes, wall %.1f ms/pass, cpu (self+children) %.1f ms/pass\n", label, passes,
                wall * 1000 / passes, cpu * 1000 / passes);
  };
  measure("nothing matches", 50, [] {});
  std::vector<std::unique_ptr<testing::SpawnedProcess>> started;
  measure("one application matches", 10, [&] {
    started.push_back(std::make_unique<testing::SpawnedProcess>(worker, std::vector<std::string>{"30"}));
    waitForExec(started.back()->pid(), worker);
  });
}

}  // namespace
}  // namespace vellorin
