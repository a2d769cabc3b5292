// The watch loop's back-off, the event log and the notification cooldown.
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using testing::ServiceFixture;
using testing::fileMode;
using testing::readEventLog;
using testing::readTextFile;
using testing::writeTextFile;

std::vector<HelperBlockedAppEvent> makeEvents(size_t count, const std::string& prefix,
                                              const std::string& bundle = "com.example.chat") {
  std::vector<HelperBlockedAppEvent> events;
  for (size_t i = 0; i < count; ++i) {
    events.push_back({prefix + std::to_string(i), "S", bundle, "Chat", "/Applications/Chat.app", {}});
  }
  return events;
}

TEST(WatchPass, AFailedQueueStepIsReportedAndBacksOffButEnforcementStillRuns) {
  if (::geteuid() != 0) GTEST_SKIP() << "enforcing outside dry-run mode needs root";
  ServiceFixture fixture(false);
  fixture.processes->push_back({4242, 1, "/Applications/Chat.app/Contents/MacOS/Chat"});
  auto service = fixture.makeService();
  EXPECT_EQ(service->watchPass(0.2), 0.2);
  writeTextFile(fixture.paths.statePath(), testing::makeSession("S", 3600).toJson().dump());
  std::filesystem::remove_all(fixture.paths.commandDirectory);
  writeTextFile(fixture.paths.commandDirectory, "planted in the way");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(service->watchPass(0.2), 5.0);
  EXPECT_EQ(service->watchPass(10.0), 10.0);
  const std::string output = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(output.find(fixture.paths.commandDirectory.string()), std::string::npos) << output;
  const auto& calls = fixture.runner.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), testing::RecordedCall{"/bin/kill", {"-TERM", "4242"}, true}),
            calls.end())
      << "a planted file must not lift the lock";
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
}

}  // namespace
}  // namespace vellorin
