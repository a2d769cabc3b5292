// Tests of the process snapshot parser, target matching, the exemption walk and termination.
#include "VellorinBlockerCore/ApplicationBlocker.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <set>
#include <system_error>

#include "support/ChildProcess.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace std::chrono_literals;
using testing::RecordedCall;

HelperApp app(const std::string& name, const std::string& path) {
  return HelperApp{"id-" + name, "com." + name, name, path, false, std::nullopt};
}

TEST(ProcessSnapshot, ParsesRightAlignedColumnsAndSkipsOnlyBadLines) {
  const std::string output =
      "    1     0 /sbin/launchd\n"
      "  412     1 /Applications/Chat Beta.app/Contents/MacOS/Chat  --type=renderer   \n"
      "\t77\t412\tcmd\twith tab\n\n12a 1 /bin/trailing-garbage\n2147483648 1 /bin/too-big\n"
      "2147483647 -2147483648 /bin/edge-case\n9 1 /bin/bad-\xff-byte\n"  // not UTF-8: only this line is skipped
      "12 1 /bin/\xED\xA0\x80\n13 1 /bin/\xE0\x80\xAF\n14 1 /bin/\xF4\x90\x80\x80\n"  // a surrogate, overlong, too large
      "15 1 /bin/\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\n"
      "10 1 /Applications/Caf\xc3\xa9.app/Contents/MacOS/Caf\xc3\xa9\r\n"
      "11 1 last-without-newline";
  const std::vector<RunningProcess> expected = {
      {1, 0, "/sbin/launchd"}, {412, 1, "/Applications/Chat Beta.app/Contents/MacOS/Chat  --type=renderer"},
      {77, 412, "cmd\twith tab"}, {2147483647, -2147483648, "/bin/edge-case"},
      {15, 1, "/bin/\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"}, {10, 1, "/Applications/Caf\xc3\xa9.app/Contents/MacOS/Caf\xc3\xa9"},
      {11, 1, "last-without-newline"}};
  EXPECT_EQ(ApplicationBlocker::parseProcessSnapshot(output), expected);
}

TEST(ApplicationMatching, PathRulesAndTheFirstListedTargetWins) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"/Applications/Chat.app", true}, {"/Applications/Chat.app/Contents/MacOS/Chat --foreground", true},
      {"/Applications/Chat.app/Contents/Helpers/Agent", true},
      {"/usr/bin/open -a /Applications/Chat.app/Contents/MacOS/Chat", true},
      {"/Backup/Applications/Chat.app.old/Contents/MacOS/Chat", false},
      {"/usr/bin/open /Applications/Chat.app", false}, {"/Applications/Chat.appx/Contents/MacOS/Chat", false},
      {"/Applications/Chat.app Beta", false}, {"/bin/x /Applications/Chat.app/Contents/MacOSX/Chat", false},
      {"/applications/chat.app/Contents/MacOS/Chat", false}};
  for (const auto& [command, matches] : cases) {  // a target without a path matches nothing
    const auto found = ApplicationBlocker::matchingProcessIDs(
        {app("Empty", ""), app("Chat", "/Applications/Chat.app")}, {{100, 1, command}}, {});
    EXPECT_EQ(found.size(), matches ? 1u : 0u) << command;
  }
  // The command line begins with one target's path and holds another's before "/Contents/MacOS/".
  const HelperApp outer = app("Outer", "/A/Chat.app"), inner = app("Inner", "/A/x/A/Chat.app");
  const std::vector<RunningProcess> process = {{100, 1, "/A/x/A/Chat.app/Contents/MacOS/Chat"}};
  for (const auto& [targets, winner] :
       {std::pair{std::vector{outer, inner, outer}, "Outer"}, std::pair{std::vector{inner, outer}, "Inner"}}) {
    const auto matches = ApplicationBlocker::matchingProcesses(targets, process, {});
    ASSERT_EQ(matches.size(), 1u);
    EXPECT_EQ(matches[0].app.name, winner);
  }
}

TEST(ApplicationMatching, ExemptionNeedsEveryEntryAndCoversDescendantsButStopsAtGapsAndCycles) {
  const std::string main = "/Applications/Browser.app/Contents/MacOS/Browser";
  const std::vector<RunningProcess> snapshot = {
      {10, 1, main + " --user-data-dir=/tmp/p --remote-debugging-port=0 mark"},  // the controlled browser
      {11, 10, main + " Helper --type=gpu"}, {12, 11, main + " Helper --type=renderer"},
      {20, 1, main}, {21, 20, main + " Helper"},               // the person's own browser
      {30, 999, main + " Helper"},                             // parent not in the snapshot
      {40, 41, main + " Helper"}, {41, 40, main + " Helper"},  // parent cycle
      {50, 0, main + " Helper"}};
  const std::vector<int32_t> all = {10, 11, 12, 20, 21, 30, 40, 41, 50};
  const std::vector<std::pair<std::vector<std::string>, std::vector<int32_t>>> cases = {
      {{"mark", "", "--user-data-dir=/tmp/p", "--remote-debugging-port="}, {20, 21, 30, 40, 41, 50}},
      {{"--user-data-dir=/tmp/p", "--remote-debugging-port=", "other-mark"}, all},
      {{"MARK"}, all}, {{"", ""}, all}, {{}, all}};
  for (const auto& [entries, matched] : cases) {
    EXPECT_EQ(ApplicationBlocker::matchingProcessIDs({app("Browser", "/Applications/Browser.app")}, snapshot,
                                                     {AllowedProcessMatcher{entries}}), matched)
        << ::testing::PrintToString(entries);
  }
}

// Answers each snapshot request with the next prepared snapshot; throws when none is left.
RunningProcessesProvider scripted(std::vector<std::vector<RunningProcess>> snapshots) {
  return [snapshots, next = size_t{0}]() mutable {
    if (next >= snapshots.size()) throw HelperCommandError::commandFailed("ps: no more snapshots");
    return snapshots[next++];
  };
}

const HelperApp chat = app("chat", "/Applications/Chat.app"), game = app("game", "/Applications/Game.app");
const std::string chatMain = "/Applications/Chat.app/Contents/MacOS/Chat";
const std::string gameMain = "/Applications/Game.app/Contents/MacOS/Game";

TEST(Termination, TermThenKillOnlyWhatStillMatchesNeverSelfRootOrLowIdentifiersAndNothingInDryRun) {
  const int32_t self = ::getpid();
  const HelperApp chatCopy = app("chat", "/Users/me/Chat.app");
  const auto snapshots = scripted({
      {{700, 1, gameMain}, {103, 101, chatMain + " Helper"}, {101, 1, chatMain}, {102, 101, chatMain + " Helper"},
       {150, 1, "/Users/me/Chat.app/Contents/MacOS/Chat"}, {200, 1, gameMain + " --child"}, {self, 1, chatMain},
       {1, 0, chatMain}, {160, 1, chatMain} /* runs as root */, {180, 1, gameMain} /* owner unknown: gone */},
      {{101, 1, chatMain}, {102, 1, chatMain + " Helper --allow-me"},  // 101 ignored -TERM; 102 became exempt
       {200, 1, gameMain + " --child"}, {800, 1, gameMain},              // 800 is new: not this call's business
       {self, 1, chatMain}, {1, 0, chatMain}}});
  const auto kill = [](const char* signal, int32_t pid) {
    return RecordedCall{"/bin/kill", {signal, std::to_string(pid)}, true};
  };
  const std::vector<RecordedCall> expected = {kill("-TERM", 101), kill("-TERM", 102), kill("-TERM", 103),
                                              kill("-TERM", 150), kill("-TERM", 200), kill("-TERM", 700),
                                              kill("-KILL", 101)};  // 200 was taken by a root process
  const std::vector<std::string> paths = {chat.path, chatCopy.path, game.path};
  for (const bool dryRun : {false, true}) {
    testing::RecordingRunner runner;
    runner.handle("/bin/kill", [](const std::vector<std::string>& arguments, bool) -> std::string {
      if (arguments[1] == "102") throw std::system_error(ENOENT, std::generic_category(), "posix_spawn /bin/kill");
      if (arguments[1] == "103") throw HelperCommandError::commandFailed("kill: (103) - No such process");
      return "";
    });
    auto stage = std::make_shared<int>(0);
    const RunningProcessesProvider counted = [snapshots, stage]() mutable { return ++*stage, snapshots(); };
    const ProcessOwnerProvider owner = [stage](int32_t pid) -> std::optional<uid_t> {
      if (pid == 180) return std::nullopt;
      return pid == 160 || (pid == 200 && *stage > 1) ? 0 : 501;
    };
    const auto events = ApplicationBlocker(testing::sandboxPaths("/nonexistent", dryRun), runner.runner(), counted, owner)
                            .terminate({game, chat, chatCopy}, "session-1", {AllowedProcessMatcher{{"--allow-me"}}});
    EXPECT_EQ(runner.calls(), dryRun ? std::vector<RecordedCall>{} : expected);
    // One event per (bundle identifier, path), in order of the lowest process identifier.
    ASSERT_EQ(events.size(), 3u);
    std::set<std::string> ids;
    for (size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ(std::tie(events[i].path, events[i].sessionID, events[i].occurredAt),
                std::tie(paths[i], "session-1", events[0].occurredAt));
      ids.insert(events[i].id);
    }
    EXPECT_EQ(ids.size(), events.size());
  }
}

// True when the process exists and is not a zombie (an ended orphan stays one until init reaps it).
bool processIsAlive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  return ::kill(pid, 0) == 0 && std::getline(stat, line) && !line.substr(line.rfind(')') + 1).starts_with(" Z");
}

// Waits for a child of `parent` running `program` to show in the real snapshot; its identifier, or -1.
int32_t waitForChild(pid_t parent, const std::string& program) {
  int32_t found = -1;
  testing::waitFor(
      [&] {
        for (const auto& p : ApplicationBlocker::runningProcesses(runProcess)) {
          if (p.ppid == parent && p.command.starts_with(program)) found = p.pid;
        }
        return found > 0;
      },
      5s);
  return found;
}

TEST(RealProcessTermination, EndsAUsersAppsAndChildrenKillsTermIgnorersSparesTheControlledBrowserAndRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "the stand-in applications run as an ordinary user, and one as root";
  testing::TemporaryDirectory directory;
  std::filesystem::permissions(directory.path(), std::filesystem::perms(0755));
  const auto install = [&](const std::string& bundle, const std::string& name, const std::string& program) {
    const auto path = directory / (bundle + ".app/Contents/MacOS/" + name);
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::copy_file(std::filesystem::canonical(program), path);  // keeps the mode
    return path.string();
  };
  const auto fake = install("Fake", "Fake", "/bin/sh"), worker = install("Fake", "Worker", "/bin/sleep");
  const auto browser = install("Browser", "Browser", "/bin/sh"), helper = install("Browser", "Helper", "/bin/sleep");
  const auto agent = install("Agent", "Agent", "/bin/sleep");
  const std::string marker = "vellorin-marker-" + std::to_string(::getpid());
  const std::string profile = "--user-data-dir=" + (directory / "profile").string();
  const testing::ChildProcess::Options user{.user = 65534};
  testing::ChildProcess main({fake, "-c", "\"$0\" 30 & wait", worker}, user);
  testing::ChildProcess controlled({browser, "-c", "\"$0\" 30 & wait", helper, profile, "--remote-debugging-port=0", marker},
                                   user);
  testing::ChildProcess stubborn({worker, "30"}, {.user = 65534, .ignoreTermination = true});
  testing::ChildProcess rootAgent({agent, "30"}, {.user = 0});
  testing::ChildProcess rootFake({worker, "30"}, {.user = 0});
  const int32_t child = waitForChild(main.pid(), worker), controlledChild = waitForChild(controlled.pid(), helper);
  ASSERT_TRUE(child > 0 && controlledChild > 0);

  const auto bundle = [&](const std::string& name) { return app(name, (directory / (name + ".app")).string()); };
  const auto events = ApplicationBlocker(testing::sandboxPaths(directory.path(), false), runProcess)
                          .terminate({bundle("Fake"), bundle("Browser"), bundle("Agent")}, "real-session",
                                     {AllowedProcessMatcher{{profile, "--remote-debugging-port=", marker}}});
  ASSERT_EQ(events.size(), 1u);  // neither the exempt browser nor the root agent is reported
  EXPECT_EQ(events[0].path, bundle("Fake").path);

  const auto mainStatus = main.waitForExit(5s), stubbornStatus = stubborn.waitForExit(5s);
  ASSERT_TRUE(mainStatus && stubbornStatus);
  EXPECT_TRUE(WIFSIGNALED(*mainStatus));
  EXPECT_TRUE(testing::waitFor([&] { return !processIsAlive(child); }, 5s));
  EXPECT_TRUE(WIFSIGNALED(*stubbornStatus) && WTERMSIG(*stubbornStatus) == SIGKILL) << *stubbornStatus;
  EXPECT_TRUE(processIsAlive(controlled.pid()) && processIsAlive(controlledChild));
  EXPECT_TRUE(processIsAlive(rootAgent.pid()) && processIsAlive(rootFake.pid())) << "root's processes are never signalled";
  ::kill(controlledChild, SIGKILL);  // started by our own shell
}

}  // namespace
}  // namespace vellorin
