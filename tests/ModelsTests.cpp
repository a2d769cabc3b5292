// Records: the shared JSON rules, key order, dates and failure texts.
#include <gtest/gtest.h>

#include <ctime>

#include "VellorinBlockerCore/Models.hpp"

namespace vellorin {
namespace {

using nlohmann::json;

TimePoint at(const char* text) { return *parseWholeSecondDate(text); }

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
  EXPECT_EQ(session.websiteMode, "blocklist");
  EXPECT_TRUE(session.browserBlockingApps.empty());
  EXPECT_EQ(session.controlledChromeUserDataDir, "");
  EXPECT_FALSE(session.controlledChromeProcessMarker);

  const json written = session.toJson();
  EXPECT_EQ(written["websiteMode"], "blocklist");
  EXPECT_EQ(written["browserBlockingApps"], json::array());
  EXPECT_EQ(written["websites"][0]["includeWildcardSubdomains"], false);
  EXPECT_EQ(written["controlledChromeUserDataDir"], "");
  for (const char* absent : {"controlledChromeProcessMarker", "extra"}) EXPECT_FALSE(written.contains(absent));
  EXPECT_FALSE(written["apps"][0].contains("colour"));
  EXPECT_FALSE(written["apps"][0].contains("iconDataUri"));
  EXPECT_EQ(HelperSession::fromJson(written), session);
  auto later = session;  // stored dates are whole seconds
  later.endsAt += std::chrono::milliseconds(750);
  later.browserBlockingApps = later.apps;
  EXPECT_EQ(later.toJson()["endsAt"], "2025-03-01T09:30:00Z");
  EXPECT_EQ(HelperSession::fromJson(later.toJson()).browserBlockingApps, later.apps);
}

TEST(SessionRecord, EveryBrokenRuleFailsTheWholeDocument) {
  const std::vector<std::pair<const char*, std::function<void(json&)>>> cases = {
      {"apps missing", [](json& d) { d.erase("apps"); }},
      {"apps an object", [](json& d) { d["apps"] = json{{"chat", d["apps"][0]}}; }},
      {"id null", [](json& d) { d["id"] = nullptr; }},
      {"websiteMode a number", [](json& d) { d["websiteMode"] = 3; }},
      {"nested isRunning missing", [](json& d) { d["apps"][0].erase("isRunning"); }},
      {"wildcard flag a string", [](json& d) { d["websites"][0]["includeWildcardSubdomains"] = "no"; }},
      {"fractional seconds", [](json& d) { d["startedAt"] = "2025-03-01T09:30:00.250Z"; }},
      {"offset instead of Z", [](json& d) { d["endsAt"] = "2025-03-01T09:30:00+01:00"; }},
      {"impossible day", [](json& d) { d["endsAt"] = "2025-02-29T09:30:00Z"; }},
  };
  for (const auto& [name, breakIt] : cases) {
    json document = minimalSession();
    breakIt(document);
    EXPECT_THROW(HelperSession::fromJson(document), DecodingError) << name;
  }
}

TEST(CommandRecords, RequestsDecodeStrictlyAndResponsesKeepTheirInvariant) {
  const auto forced = HelperCommandRequest::fromJson(json::parse(R"({"id":"r","command":"restore","force":true})"));
  EXPECT_EQ(forced.force, true);
  EXPECT_EQ(HelperCommandRequest::fromJson(forced.toJson()), forced);
  for (const char* bad : {R"({"id":"r","command":"Restore"})", R"({"command":"restore"})",
                          R"({"id":"r","command":"restore","force":"yes"})",
                          R"({"id":"r","command":"restore","session":{"id":"x"}})"}) {
    EXPECT_THROW(HelperCommandRequest::fromJson(json::parse(bad)), DecodingError) << bad;
  }
  EXPECT_EQ(encodeDocument(HelperCommandResponse{"x", false, std::nullopt, "boom"}.toJson()),
            "{\n  \"error\": \"boom\",\n  \"id\": \"x\",\n  \"ok\": false\n}");
  const HelperStatus idle{"idle", true, false, false, std::nullopt, "m"};
  EXPECT_FALSE(idle.toJson().contains("activeSession"));
  const HelperCommandResponse succeeded{"x", true, idle, std::nullopt};
  EXPECT_FALSE(succeeded.toJson().contains("error"));
  EXPECT_EQ(HelperCommandResponse::fromJson(succeeded.toJson()), succeeded);
}

TEST(EventRecord, AllSixKeysAreRequiredAndSessionIDIsCaseSensitive) {
  const HelperBlockedAppEvent event{"e1", "S1", "com.example.chat", "", "/Applications/Chat.app",
                                    at("2025-03-01T09:30:00Z")};
  json written = eventsToJson({event});
  EXPECT_EQ(written[0]["occurredAt"], "2025-03-01T09:30:00Z");
  EXPECT_EQ(eventsFromJson(written), std::vector{event});
  written[0]["sessionId"] = written[0]["sessionID"];
  written[0].erase("sessionID");
  EXPECT_THROW(eventsFromJson(written), DecodingError);
}

TEST(Dates, RoundTripAcrossTheCalendarAndNeverWrapAround) {
  for (const char* text : {"1969-12-31T23:59:59Z", "2000-02-29T12:00:00Z", "2199-12-31T23:59:59Z"}) {
    EXPECT_EQ(formatWholeSecondDate(at(text)), text);
  }
  for (const char* text : {"2025-03-01T09:30:00", "2025-13-01T00:00:00Z", "2025-03-01T24:00:00Z", "2100-02-29T00:00:00Z",
                           "2025-03-01T09:30:00z"}) {
    EXPECT_FALSE(parseWholeSecondDate(text)) << text;
  }
  // Every day from 1900 to 2199, each at another time of day, agrees with the C library's calendar,
  // both ways and with milliseconds.
  for (int64_t day = -25567; day < 83291; ++day) {
    const std::time_t t = day * 86400 + (day + 25567) * 7919 % 86400;
    std::tm parts{};
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", ::gmtime_r(&t, &parts));
    const TimePoint point{std::chrono::seconds(t)};
    ASSERT_EQ(formatWholeSecondDate(point), expected);
    ASSERT_EQ(parseWholeSecondDate(expected), point) << expected;
    ASSERT_EQ(formatMillisecondDate(point + std::chrono::milliseconds(42)),
              std::string(expected).replace(19, 1, ".042Z"));
  }
  // The clock's own first and last whole seconds are dates where they have four-digit years;
  // beyond what the clock can hold, a date is refused rather than wrapped.
  const auto limit = std::chrono::duration_cast<std::chrono::seconds>(TimePoint::duration::max()) - std::chrono::seconds(1);
  for (const auto edge : {TimePoint(limit), TimePoint(-limit)}) {
    const std::string text = formatWholeSecondDate(edge);
    if (text.size() == 20) {
      EXPECT_EQ(parseWholeSecondDate(text), edge) << text;
    }
  }
  if (const auto far = parseWholeSecondDate("9999-12-31T23:59:59Z")) {
    EXPECT_EQ(formatWholeSecondDate(*far), "9999-12-31T23:59:59Z");
  }
  EXPECT_EQ(formatMillisecondDate(at("1969-12-31T23:59:59Z") + std::chrono::milliseconds(5)),
            "1969-12-31T23:59:59.005Z");
}

}  // namespace
}  // namespace vellorin
