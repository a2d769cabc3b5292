// The watch loop's pass and back-off, the event log and the notification cooldown.
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
    events.push_back({prefix + std::to_string(i), "S", bundle, "Chat", "/Applications/Chat.app",
                      *parseWholeSecondDate("2025-03-01T09:30:00Z")});
  }
  return events;
}

TEST(WatchPass, AFailedPassWritesOneLineAndBacksOff) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  EXPECT_EQ(service->watchPass(0.2), 0.2);

  std::filesystem::remove_all(fixture.paths.commandDirectory);
  writeTextFile(fixture.paths.commandDirectory, "in the way");
  writeTextFile(fixture.paths.statePath(), "garbage");  // enforcement would fail too, but must not run
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(service->watchPass(0.2), 5.0);
  EXPECT_EQ(service->watchPass(10.0), 10.0);
  const std::string output = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 2) << output;
  EXPECT_NE(output.find(fixture.paths.commandDirectory.string()), std::string::npos) << output;
  EXPECT_EQ(output.find("parse"), std::string::npos) << "enforcement is skipped after a failed queue pass";
}

TEST(EventLog, KeepsTheNewestHundredInOrder) {
  ServiceFixture fixture;
  auto service = fixture.makeService(realFileSystem(), 0.0);
  service->appendBlockedApplicationEvents({});
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.commandParentDirectory())) << "an empty list touches nothing";

  service->appendBlockedApplicationEvents(makeEvents(95, "old"));
  service->appendBlockedApplicationEvents(makeEvents(10, "new"));
  auto log = readEventLog(fixture.paths);
  ASSERT_EQ(log.size(), 100u);
  EXPECT_EQ(log.front().id, "old5");
  EXPECT_EQ(log[90].id, "new0");
  EXPECT_EQ(log.back().id, "new9");

  service->appendBlockedApplicationEvents(makeEvents(1, "last"));
  log = readEventLog(fixture.paths);
  ASSERT_EQ(log.size(), 100u);
  EXPECT_EQ(log.front().id, "old6");
  EXPECT_EQ(log.back().id, "last0");
}

TEST(EventLog, AnUnreadableOrPlantedLogIsReplacedByTheNewEvents) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  service->prepareCommandDirectory();
  const auto logPath = fixture.paths.blockedApplicationEventsPath();

  writeTextFile(logPath, "[{\"broken\": true}]", 0600);
  service->appendBlockedApplicationEvents(makeEvents(2, "a"));
  EXPECT_EQ(readEventLog(fixture.paths).size(), 2u);
  EXPECT_EQ(fileMode(logPath), 0644u);

  const auto secret = fixture.temp / "secret";
  writeTextFile(secret, "[]", 0600);
  std::filesystem::remove(logPath);
  std::filesystem::create_symlink(secret, logPath);
  service->appendBlockedApplicationEvents(makeEvents(1, "b"));
  EXPECT_EQ(readTextFile(secret), "[]");
  EXPECT_EQ(fileMode(secret), 0600u);
  EXPECT_FALSE(std::filesystem::is_symlink(logPath));
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u);
}

TEST(NotificationCooldown, AnnouncesEachApplicationOncePerCooldown) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  const auto start = *fixture.clock;
  const auto chat = makeEvents(2, "c");
  const auto mail = makeEvents(1, "m", "com.example.mail");
  const auto anonymous = makeEvents(1, "x", "");

  service->notifyBlockedApplicationEvents({chat[0], chat[1], mail[0], anonymous[0]});
  ASSERT_EQ(fixture.notified->size(), 2u);
  EXPECT_EQ((*fixture.notified)[0].id, "c0");
  EXPECT_EQ((*fixture.notified)[1].id, "m0");

  const std::vector<std::pair<int, size_t>> steps = {
      {10, 2},   // within the cooldown: logged elsewhere, not announced
      {29, 2},   // a skipped announcement does not extend the wait
      {31, 3},   // 31 seconds after the announcement
      {20, 3},   // the clock moved backwards: still within the cooldown
  };
  for (const auto& [seconds, expected] : steps) {
    *fixture.clock = start + std::chrono::seconds(seconds);
    service->notifyBlockedApplicationEvents({chat[0]});
    EXPECT_EQ(fixture.notified->size(), expected) << seconds;
  }
}

}  // namespace
}  // namespace vellorin
