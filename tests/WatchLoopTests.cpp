// The watch loop's passes, the event log and its announcements, and the faults a pass
// meets: a full disk, an unwritable response, a planted file. Nothing already stored is lost or
// half-written, and the next pass recovers once the fault is gone. Then what a daemon start
// clears away.
#include <unistd.h>

#include <gtest/gtest.h>

#include "VellorinBlockerCore/Limits.hpp"
#include "support/ChildProcess.hpp"
#include "support/FaultInjectingFileSystem.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;
using namespace std::chrono_literals;

std::vector<HelperBlockedAppEvent> makeEvents(size_t count, const std::string& prefix) {
  std::vector<HelperBlockedAppEvent> events;
  for (size_t i = 0; i < count; ++i)
    events.push_back({prefix + std::to_string(i), "S", "com.example.chat", "Chat", "/A/Chat.app", {}});
  return events;
}

// A service with a running blocked application and an active session.
class WatchPass : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture.processes->push_back({4242, 1, "/Applications/Chat.app/Contents/MacOS/Chat"});
    service = fixture.makeService(disk);
    service->apply(session);
  }
  // One pass that must fail: its pause and its lines on standard error.
  std::string failingPass(double pollInterval = 0.2) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(service->watchPass(pollInterval), std::max(pollInterval, 5.0));
    return ::testing::internal::GetCapturedStderr();
  }

  ServiceFixture fixture;
  const HelperSession session = makeSession("S1", 3600);  // built once: a second boundary must not change it
  std::shared_ptr<FaultInjectingFileSystem> disk = std::make_shared<FaultInjectingFileSystem>(realFileSystem());
  std::unique_ptr<BlockerService> service;
};

TEST_F(WatchPass, AFullDiskDuringTheStateWriteKeepsTheStoredSessionAndTerminatesNothing) {
  const auto stored = readTextFile(fixture.paths.statePath());
  auto next = session;
  next.apps[0].path = "/Applications/Other.app";
  fixture.processes->push_back({4343, 1, "/Applications/Other.app/Contents/MacOS/Other"});
  disk->failWrites("active-session.json");
  EXPECT_THROW(service->update(next), std::system_error);
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u) << "nothing is terminated for a session that was not stored";
  EXPECT_EQ(entries(fixture.paths.stateDirectory), (std::vector<std::string>{"active-session.json", "session.lock"}))
      << "no temporary file left";
  disk->heal();
  EXPECT_EQ(service->update(next).message, "Session updated.");
}

TEST_F(WatchPass, AFullDiskDuringAnEventLogAppendKeepsTheOldLogAndAnnouncesNothing) {
  EXPECT_EQ(service->watchPass(0.2), 0.2);
  EXPECT_EQ(fixture.notified->size(), 1u) << "an application is announced once per cooldown";
  const auto log = readTextFile(fixture.paths.blockedApplicationEventsPath());
  *fixture.clock += std::chrono::hours(1);  // past the cooldown: an announcement would be due
  disk->failWrites("blocked-app-events.json");
  EXPECT_NE(failingPass().find("No space left on device"), std::string::npos);
  EXPECT_EQ(readTextFile(fixture.paths.blockedApplicationEventsPath()), log);
  EXPECT_EQ(fixture.notified->size(), 1u);
  disk->heal();
  EXPECT_EQ(service->watchPass(0.2), 0.2);
  EXPECT_EQ(std::pair(readEventLog(fixture.paths).size(), fixture.notified->size()), std::pair(size_t{3}, size_t{2}));
}

TEST_F(WatchPass, AResponseThatCannotBeWrittenKeepsTheRequestsForTheNextPass) {
  const auto commands = fixture.paths.commandDirectory;
  writeTextFile(commands / "a.request.json", R"({"id":"a","command":"cleanup"})");
  writeTextFile(commands / "b.request.json", R"({"id":"b","command":"cleanup"})");
  disk->failWrites("a.response.json", EROFS);
  EXPECT_FALSE(failingPass(10.0).empty()) << "a poll interval over 5 seconds is the pause";
  EXPECT_EQ(entries(commands), (std::vector<std::string>{"a.request.json", "b.request.json"}));
  disk->heal();
  service->processPendingCommands();
  EXPECT_EQ(entries(commands), (std::vector<std::string>{"a.response.json", "b.response.json"}));
}

TEST(WatchPassOutsideDryRun, AFileInPlaceOfTheCommandDirectoryDoesNotLiftTheLock) {
  if (::geteuid() != 0) GTEST_SKIP() << "enforcing outside dry-run mode needs root";
  ServiceFixture fixture(Sandbox::real);
  fixture.processes->push_back({4242, 1, "/Applications/Chat.app/Contents/MacOS/Chat"});
  auto service = fixture.makeService();
  writeTextFile(fixture.paths.statePath(), makeSession("S", 3600).toJson().dump());
  writeTextFile(fixture.paths.commandDirectory, "planted in the way");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(service->watchPass(0.2), 5.0);
  const std::string output = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(output.find(fixture.paths.commandDirectory.string()), std::string::npos) << output;
  const auto& calls = fixture.runner.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(),
                      RecordedCall{.executable = "/bin/kill", .arguments = {"-TERM", "4242"}, .allowFailure = true}),
            calls.end());
}

// With a slow process listing and a slow kill tool, every pass keeps to its deadline, logs what it
// found although it was cut short, and the passes that follow end every process of an application
// that ignores SIGTERM: each pass takes up the second stage the one before did not reach.
TEST(WatchPassBudget, SlowToolsKeepEachPassInsideItsDeadlineAndEveryProcessIsEnded) {
  if (::geteuid() != 0) GTEST_SKIP() << "the processes to end run as an ordinary user";
  const TemporaryDirectory temp;
  std::filesystem::permissions(temp.path(), std::filesystem::perms(0755));
  const auto bundle = temp / "Blocked.app";
  std::filesystem::create_directories(bundle / "Contents/MacOS");
  const auto program = (bundle / "Contents/MacOS/Blocked").string();
  std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), program);
  std::vector<std::unique_ptr<ChildProcess>> stubborn(8);
  for (auto& child : stubborn)
    child.reset(new ChildProcess({program, "60"}, {.user = 65534, .ignoreTermination = true}));
  // The real tools, each made slow by a pause before it.
  const ProcessRunner slowTools = [](const std::string& tool, std::vector<std::string> arguments,
                                     const RunOptions& options) {
    arguments.insert(
        arguments.begin(),
        {"-c", tool == "/bin/ps" ? "sleep 0.3; exec \"$0\" \"$@\"" : "sleep 0.15; exec \"$0\" \"$@\"", tool});
    return runProcess("/bin/sh", arguments, options);
  };
  const auto paths = sandboxPaths(temp.path(), Sandbox::real);
  writeTextFile(paths.statePath(), makeSession("S", 3600, bundle.string()).toJson().dump());
  const auto deadline = std::chrono::milliseconds(1000);
  BlockerService service(paths, realFileSystem(),
                         {.processRunner = slowTools,
                          .blockedApplicationNotifier = std::make_unique<NoopBlockedApplicationNotifier>(),
                          .passDeadline = deadline},
                         30.0, [] { return std::chrono::system_clock::now(); });
  const auto running = [&] {
    return std::count_if(stubborn.begin(), stubborn.end(), [](auto& child) { return !child->waitForExit(0ms); });
  };
  for (int pass = 0; pass < 12 && running() > 0; ++pass) {
    const size_t logged = readEventLog(paths).size();
    const auto started = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStderr();
    service.watchPass(0.2);
    const std::string lines = ::testing::internal::GetCapturedStderr();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, deadline + limits::killedToolWait + limits::gracePeriod + 500ms)
        << "pass " << pass << ": " << lines;
    EXPECT_EQ(readEventLog(paths).size(), logged + 1) << "logged, also when cut short; pass " << pass << ": " << lines;
  }
  EXPECT_EQ(running(), 0);
}

TEST(EventLog, KeepsTheNewestHundredInOrderAndReplacesAnUnreadableOrPlantedLog) {
  ServiceFixture fixture;
  auto service = fixture.makeService(realFileSystem(), 0.0);
  service->appendBlockedApplicationEvents({});
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.commandParentDirectory())) << "an empty list touches nothing";

  const auto logPath = fixture.paths.blockedApplicationEventsPath();
  writeTextFile(logPath, "[{\"broken\": true}]", 0600);
  service->appendBlockedApplicationEvents(makeEvents(95, "old"));
  EXPECT_EQ(fileMode(logPath), 0644u);
  service->appendBlockedApplicationEvents(makeEvents(10, "new"));
  const auto log = readEventLog(fixture.paths);
  ASSERT_EQ(log.size(), 100u);
  EXPECT_EQ(std::tuple(log.front().id, log[90].id, log.back().id), std::tuple("old5", "new0", "new9"));

  const auto secret = fixture.temp / "secret";
  writeTextFile(secret, "[]", 0600);
  std::filesystem::remove(logPath);
  std::filesystem::create_symlink(secret, logPath);
  service->appendBlockedApplicationEvents(makeEvents(1, "b"));
  EXPECT_EQ(std::pair(readTextFile(secret), fileMode(secret)),
            std::pair(std::optional<std::string>("[]"), mode_t{0600}));
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u);

  // A log replaced during the read is read again, never taken for empty; one that keeps changing
  // (only a user can do that) counts as planted, and the append still succeeds.
  const auto disk = std::make_shared<FaultInjectingFileSystem>(realFileSystem());
  service = fixture.makeService(disk, 0.0);
  disk->changeWhileRead(logPath.filename(), 4);
  service->appendBlockedApplicationEvents(makeEvents(1, "c"));
  EXPECT_EQ(readEventLog(fixture.paths).size(), 2u);
  disk->changeWhileRead(logPath.filename(), 100);
  service->appendBlockedApplicationEvents(makeEvents(1, "d"));
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u);
}

}  // namespace
}  // namespace vellorin
