// The watch loop's passes, the event log and the notification cooldown, and the faults a pass
// meets: a full disk, an unwritable response, a failing process snapshot, a planted file. Nothing
// already stored is lost or half-written, and the next pass recovers once the fault is gone.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "VellorinBlockerCore/ProcessEnvironment.hpp"
#include "support/FaultInjectingFileSystem.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;
using Operation = FaultInjectingFileSystem::Operation;

std::vector<HelperBlockedAppEvent> makeEvents(size_t count, const std::string& prefix,
                                              const std::string& bundle = "com.example.chat") {
  std::vector<HelperBlockedAppEvent> events;
  for (size_t i = 0; i < count; ++i) {
    events.push_back({prefix + std::to_string(i), "S", bundle, "Chat", "/Applications/Chat.app", {}});
  }
  return events;
}

std::vector<std::string> names(const std::filesystem::path& directory) {
  std::vector<std::string> result;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) result.push_back(entry.path().filename());
  std::sort(result.begin(), result.end());
  return result;
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
  disk->fail(Operation::write, "active-session.json");
  EXPECT_THROW(service->update(next), std::system_error);
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u) << "nothing is terminated for a session that was not stored";
  EXPECT_EQ(names(fixture.paths.stateDirectory), std::vector<std::string>{"active-session.json"});
  disk->heal();
  EXPECT_EQ(service->update(next).message, "Session updated.");
}

TEST_F(WatchPass, AFullDiskDuringAnEventLogAppendKeepsTheOldLogAndAnnouncesNothing) {
  const auto log = readTextFile(fixture.paths.blockedApplicationEventsPath());
  *fixture.clock += std::chrono::hours(1);  // past the cooldown: an announcement would be due
  disk->fail(Operation::write, "blocked-app-events.json");
  EXPECT_NE(failingPass().find("No space left on device"), std::string::npos);
  EXPECT_EQ(readTextFile(fixture.paths.blockedApplicationEventsPath()), log);
  EXPECT_EQ(fixture.notified->size(), 1u);
  disk->heal();
  EXPECT_EQ(service->watchPass(0.2), 0.2);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 2u);
  EXPECT_EQ(fixture.notified->size(), 2u);
}

TEST_F(WatchPass, AResponseThatCannotBeWrittenKeepsTheRequestsForTheNextPass) {
  const auto commands = fixture.paths.commandDirectory;
  writeTextFile(commands / "a.request.json", R"({"id":"a","command":"cleanup"})");
  writeTextFile(commands / "b.request.json", R"({"id":"b","command":"cleanup"})");
  for (const int error : {ENOSPC, EROFS}) {
    disk->fail(Operation::write, "a.response.json", error);
    EXPECT_FALSE(failingPass(10.0).empty()) << "a poll interval over 5 seconds is the pause";
    EXPECT_EQ(names(commands), (std::vector<std::string>{"a.request.json", "b.request.json"}));
  }
  disk->heal();
  service->processPendingCommands();
  EXPECT_EQ(names(commands), (std::vector<std::string>{"a.response.json", "b.response.json"}));
}

TEST_F(WatchPass, AFailingProcessSnapshotIsReportedAndTheNextPassEnforcesAgain) {
  const auto stored = readTextFile(fixture.paths.statePath());
  *fixture.snapshotFails = true;
  EXPECT_EQ(failingPass(), "ps: cannot read the process table\n");
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
  *fixture.snapshotFails = false;
  EXPECT_EQ(service->watchPass(0.2), 0.2);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 2u);
}

TEST(WatchPassOutsideDryRun, AFileInPlaceOfTheCommandDirectoryDoesNotLiftTheLock) {
  if (::geteuid() != 0) GTEST_SKIP() << "enforcing outside dry-run mode needs root";
  ServiceFixture fixture(false);
  fixture.processes->push_back({4242, 1, "/Applications/Chat.app/Contents/MacOS/Chat"});
  auto service = fixture.makeService();
  writeTextFile(fixture.paths.statePath(), makeSession("S", 3600).toJson().dump());
  writeTextFile(fixture.paths.commandDirectory, "planted in the way");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(service->watchPass(0.2), 5.0);
  const std::string output = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(output.find(fixture.paths.commandDirectory.string()), std::string::npos) << output;
  const auto& calls = fixture.runner.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), RecordedCall{"/bin/kill", {"-TERM", "4242"}, true}), calls.end());
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
  auto log = readEventLog(fixture.paths);
  ASSERT_EQ(log.size(), 100u);
  EXPECT_EQ(log.front().id, "old5");
  EXPECT_EQ(log[90].id, "new0");
  EXPECT_EQ(log.back().id, "new9");

  const auto secret = fixture.temp / "secret";
  writeTextFile(secret, "[]", 0600);
  std::filesystem::remove(logPath);
  std::filesystem::create_symlink(secret, logPath);
  service->appendBlockedApplicationEvents(makeEvents(1, "b"));
  EXPECT_EQ(readTextFile(secret), "[]");
  EXPECT_EQ(fileMode(secret), 0600u);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u);
}

TEST(NotificationCooldown, AnnouncesEachApplicationOncePerCooldown) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  const auto start = *fixture.clock;
  const auto chat = makeEvents(2, "c");
  service->notifyBlockedApplicationEvents(
      {chat[0], chat[1], makeEvents(1, "m", "com.example.mail")[0], makeEvents(1, "x", "")[0]});
  ASSERT_EQ(fixture.notified->size(), 2u);
  EXPECT_EQ((*fixture.notified)[1].id, "m0");

  // seconds after the first announcement -> announcements so far
  for (const auto& [seconds, expected] : std::vector<std::pair<int, size_t>>{
           {10, 2}, {29, 2} /* a skip does not extend the wait */, {31, 3}, {20, 3} /* clock moved back */}) {
    *fixture.clock = start + std::chrono::seconds(seconds);
    service->notifyBlockedApplicationEvents({chat[0]});
    EXPECT_EQ(fixture.notified->size(), expected) << seconds;
  }
  service->restore(true, "");  // a restore forgets every announcement
  service->notifyBlockedApplicationEvents({chat[0]});
  EXPECT_EQ(fixture.notified->size(), 4u);
}

// A daemon killed halfway through a write leaves a temporary file; the next one removes it, but
// never one that another helper process may be writing right now, nor a file of someone else's.
TEST(WatchStart, RemovesTheStaleTemporaryFilesOfAKilledPredecessor) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  service->prepareCommandDirectory();
  const std::string stale = ".vellorin-tmp-0123456789abcdef", young = ".vellorin-tmp-fedcba9876543210";
  const std::vector<std::filesystem::path> directories = {
      fixture.paths.commandDirectory, fixture.paths.commandParentDirectory(), fixture.paths.stateDirectory,
      fixture.paths.hostsPath.parent_path()};
  for (const auto& directory : directories) {
    for (const auto& name : {stale, young, std::string(".vellorin-tmp-notours")}) writeTextFile(directory / name, "");
    for (const auto& name : {stale, std::string(".vellorin-tmp-notours")}) {
      std::filesystem::last_write_time(directory / name, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(2));
    }
  }
  service->removeStaleTemporaryFiles();
  for (const auto& directory : directories) {
    EXPECT_FALSE(std::filesystem::exists(directory / stale)) << directory;
    EXPECT_TRUE(std::filesystem::exists(directory / young) && std::filesystem::exists(directory / ".vellorin-tmp-notours"));
  }
}

// newsyslog renames the daemon's log and starts a new one; the daemon's next line goes there.
TEST(DaemonLog, ALineAfterARotationGoesToTheNewLog) {
  TemporaryDirectory temp;
  const auto log = temp / "helper.log";
  const UniqueFd fd(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  EXPECT_FALSE(followLogRotation(fd.get(), log)) << "still the same file";
  std::filesystem::rename(log, temp / "helper.log.0");
  EXPECT_TRUE(followLogRotation(fd.get(), log));
  ASSERT_TRUE(writeAll(fd.get(), "one\n"));
  EXPECT_EQ(fileMode(log), 0644u);
  std::filesystem::rename(log, temp / "helper.log.0");
  writeTextFile(log, "new\n", 0640);  // made by the rotation itself
  EXPECT_TRUE(followLogRotation(fd.get(), log));
  ASSERT_TRUE(writeAll(fd.get(), "two\n"));
  EXPECT_EQ(readTextFile(log), "new\ntwo\n");
  EXPECT_EQ(readTextFile(temp / "helper.log.0"), "one\n");
}

}  // namespace
}  // namespace vellorin
