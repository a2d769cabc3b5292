// Records: the shared JSON rules the focus application relies on, and the dates of the lock.
#include <gtest/gtest.h>

#include <ctime>

#include "VellorinBlockerCore/Models.hpp"

namespace vellorin {
namespace {

using nlohmann::json;

json minimalSession() {
  return json::parse(R"({
    "id": "S1", "profileName": "Deep work",
    "startedAt": "2025-03-01T09:00:00Z", "endsAt": "2025-03-01T09:30:00Z",
    "apps": [{"id": "a1", "bundleIdentifier": "com.example.chat", "name": "Chat",
              "path": "/Applications/Chat.app", "isRunning": true, "colour": "red"}],
    "websites": [{"id": "w1", "domain": "news.example", "includeSubdomains": true}],
    "browserBlockingApps": null, "controlledChromeUserDataDir": "", "extra": 1
  })");
}

TEST(SessionRecord, DefaultsNullsAndUnknownKeysRoundTripAsWritten) {
  const auto session = HelperSession::fromJson(minimalSession());
  EXPECT_TRUE(session.websiteMode == "blocklist" && session.browserBlockingApps.empty() &&
              !session.controlledChromeProcessMarker);
  const json written = session.toJson();
  EXPECT_EQ(std::tuple(written["browserBlockingApps"], written["websites"][0]["includeWildcardSubdomains"],
                       written["controlledChromeUserDataDir"]),
            std::tuple(json::array(), json(false), json("")));
  for (const char* absent : {"controlledChromeProcessMarker", "extra"}) EXPECT_FALSE(written.contains(absent));
  EXPECT_FALSE(written["apps"][0].contains("colour") || written["apps"][0].contains("iconDataUri"));
  EXPECT_EQ(HelperSession::fromJson(written), session);
  auto withBrowsers = session;  // the browsers blocked during the session survive the state file
  withBrowsers.browserBlockingApps = session.apps;
  EXPECT_EQ(HelperSession::fromJson(withBrowsers.toJson()), withBrowsers);
  // A broken rule anywhere fails the whole document.
  for (const char* broken :
       {R"({"apps": [{"id": null}]})", R"({"endsAt": "2025-02-29T09:30:00Z"})", R"({"apps": null})"}) {
    json document = minimalSession();
    document.merge_patch(json::parse(broken));  // a null removes the key
    EXPECT_THROW(HelperSession::fromJson(document), DecodingError) << broken;
  }
}

TEST(CommandRecords, RequestsDecodeStrictlyAndResponsesKeepTheirInvariant) {
  const auto forced = HelperCommandRequest::fromJson(json::parse(R"({"id":"r","command":"restore","force":true})"));
  EXPECT_TRUE(forced.force.value() && HelperCommandRequest::fromJson(forced.toJson()) == forced);
  for (const char* bad : {R"({"id":"r","command":"Restore"})", R"({"command":"restore"})",
                          R"({"id":"r","command":"restore","force":"yes"})"}) {
    EXPECT_THROW(HelperCommandRequest::fromJson(json::parse(bad)), DecodingError) << bad;
  }
  EXPECT_EQ(encodeDocument(HelperCommandResponse{"x", false, std::nullopt, "boom"}.toJson()),
            "{\n  \"error\": \"boom\",\n  \"id\": \"x\",\n  \"ok\": false\n}");
  const HelperCommandResponse succeeded{"x", true, HelperStatus{"idle", true, false, false, std::nullopt, "m"}, {}};
  EXPECT_FALSE(succeeded.toJson().contains("error") || succeeded.toJson()["status"].contains("activeSession"));
  // An event of the log, as the focus application reads it.
  const HelperBlockedAppEvent event{
      "e1", "S1", "com.example.chat", "Chat", "/Applications/Chat.app", *parseWholeSecondDate("2025-03-01T09:30:00Z")};
  EXPECT_EQ(eventsToJson({event}),
            json::parse(R"([{"id": "e1", "sessionID": "S1", "bundleIdentifier": "com.example.chat",
      "name": "Chat", "path": "/Applications/Chat.app", "occurredAt": "2025-03-01T09:30:00Z"}])"));
  EXPECT_EQ(eventsFromJson(eventsToJson({event})), std::vector{event});
}

// The lock ends at a stored date: a date read or written one day, hour or second off moves it.
TEST(Dates, AgreeWithTheCalendarBothWays) {
  for (const char* text :
       {"2025-03-01T09:30:00", "2025-13-01T00:00:00Z", "2100-02-29T00:00:00Z", "2025-03-01T09:30:00z"}) {
    EXPECT_FALSE(parseWholeSecondDate(text)) << text;
  }
  // Days from 1900 to 2199 in steps of 97, each at another time of day, against the C library.
  for (int64_t day = -25567; day < 83291; day += 97) {
    const std::time_t t = day * 86400 + (day + 25567) * 7919 % 86400;
    std::tm parts{};
    char expected[32];
    ASSERT_GT(std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", ::gmtime_r(&t, &parts)), 0u);
    const TimePoint point{std::chrono::seconds(t)};
    ASSERT_EQ(formatWholeSecondDate(point + std::chrono::milliseconds(999)), expected);
    ASSERT_EQ(parseWholeSecondDate(expected), point) << expected;
    ASSERT_EQ(formatMillisecondDate(point + std::chrono::milliseconds(42)),
              std::string(expected).replace(19, 1, ".042Z"));
  }
}

}  // namespace
}  // namespace vellorin
