// Records: JSON round trips, the shared decoding rules, key order, dates and failure texts.
#include <gtest/gtest.h>

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
              "path": "/Applications/Chat.app", "isRunning": true}],
    "websites": [{"id": "w1", "domain": "news.example", "includeSubdomains": true}]
  })");
}

TEST(SessionRecord, OptionalKeysTakeTheirDefaultsAndAreWrittenBack) {
  const auto session = HelperSession::fromJson(minimalSession());
  EXPECT_EQ(session.websiteMode, "blocklist");
  EXPECT_TRUE(session.browserBlockingApps.empty());
  EXPECT_FALSE(session.controlledChromeUserDataDir);
  EXPECT_FALSE(session.websites[0].includeWildcardSubdomains);
  EXPECT_FALSE(session.apps[0].iconDataUri);

  const json written = session.toJson();
  EXPECT_EQ(written["websiteMode"], "blocklist");
  EXPECT_EQ(written["browserBlockingApps"], json::array());
  EXPECT_EQ(written["websites"][0]["includeWildcardSubdomains"], false);
  EXPECT_FALSE(written.contains("controlledChromeUserDataDir"));
  EXPECT_FALSE(written["apps"][0].contains("iconDataUri"));
  EXPECT_EQ(HelperSession::fromJson(written), session);
}

TEST(SessionRecord, NullOptionalsReadAsDefaultsAndEmptyTextStaysPresent) {
  json document = minimalSession();
  document["websiteMode"] = nullptr;
  document["browserBlockingApps"] = nullptr;
  document["controlledChromeUserDataDir"] = "";
  document["apps"][0]["iconDataUri"] = nullptr;
  const auto session = HelperSession::fromJson(document);
  EXPECT_EQ(session.websiteMode, "blocklist");
  EXPECT_TRUE(session.browserBlockingApps.empty());
  ASSERT_TRUE(session.controlledChromeUserDataDir);
  EXPECT_EQ(*session.controlledChromeUserDataDir, "");
  EXPECT_EQ(session.toJson()["controlledChromeUserDataDir"], "");
}

TEST(SessionRecord, EveryBrokenRuleFailsTheWholeDocument) {
  const std::vector<std::pair<const char*, std::function<void(json&)>>> cases = {
      {"apps missing", [](json& d) { d.erase("apps"); }},
      {"websites missing", [](json& d) { d.erase("websites"); }},
      {"id null", [](json& d) { d["id"] = nullptr; }},
      {"id a number", [](json& d) { d["id"] = 7; }},
      {"websiteMode a number", [](json& d) { d["websiteMode"] = 3; }},
      {"browserBlockingApps an object", [](json& d) { d["browserBlockingApps"] = json::object(); }},
      {"nested isRunning missing", [](json& d) { d["apps"][0].erase("isRunning"); }},
      {"nested isRunning a string", [](json& d) { d["apps"][0]["isRunning"] = "true"; }},
      {"wildcard flag a string", [](json& d) { d["websites"][0]["includeWildcardSubdomains"] = "no"; }},
      {"fractional seconds", [](json& d) { d["startedAt"] = "2025-03-01T09:30:00.250Z"; }},
      {"offset instead of Z", [](json& d) { d["endsAt"] = "2025-03-01T09:30:00+01:00"; }},
      {"impossible day", [](json& d) { d["endsAt"] = "2025-02-29T09:30:00Z"; }},
      {"not an object", [](json& d) { d = json::array(); }},
  };
  for (const auto& [name, breakIt] : cases) {
    json document = minimalSession();
    breakIt(document);
    EXPECT_THROW(HelperSession::fromJson(document), DecodingError) << name;
  }
  EXPECT_NO_THROW(HelperSession::fromJson([] {
    json d = minimalSession();
    d["apps"] = json::array();
    return d;
  }()));
}

TEST(SessionRecord, UnknownKeysAreIgnoredAndNotWrittenBack) {
  json document = minimalSession();
  document["extra"] = 1;
  document["apps"][0]["colour"] = "red";
  const json written = HelperSession::fromJson(document).toJson();
  EXPECT_FALSE(written.contains("extra"));
  EXPECT_FALSE(written["apps"][0].contains("colour"));
}

TEST(SessionRecord, WritesSortedKeysOnePerLineWithoutNullAndWholeSeconds) {
  auto session = HelperSession::fromJson(minimalSession());
  session.endsAt += std::chrono::milliseconds(750);
  const std::string text = encodeDocument(session.toJson());
  EXPECT_EQ(text.find("null"), std::string::npos);
  EXPECT_NE(text.find("\"endsAt\": \"2025-03-01T09:30:00Z\""), std::string::npos);
  const std::vector<std::string> order = {"\"apps\"",      "\"browserBlockingApps\"", "\"endsAt\"",
                                          "\"id\": \"S1\"", "\"profileName\"",        "\"startedAt\"",
                                          "\"websiteMode\"", "\"websites\""};
  size_t previous = 0;
  for (const auto& key : order) {
    const size_t position = text.find("\n  " + key);
    ASSERT_NE(position, std::string::npos) << key;
    EXPECT_GT(position, previous) << key;
    previous = position;
  }
}

TEST(StatusRecord, ActiveSessionOnlyWhenPresent) {
  const HelperStatus idle{"idle", true, false, false, std::nullopt, "Status loaded."};
  EXPECT_FALSE(idle.toJson().contains("activeSession"));
  const HelperStatus active{"active", true, false, false, HelperSession::fromJson(minimalSession()), "x"};
  EXPECT_EQ(active.toJson()["activeSession"]["id"], "S1");
  EXPECT_EQ(HelperStatus::fromJson(active.toJson()), active);
  EXPECT_EQ(encodeDocument(HelperVersionPayload{"11", "3"}.toJson()),
            "{\n  \"helperVersion\": \"11\",\n  \"protocolVersion\": \"3\"\n}");
}

TEST(CommandRecords, RequestsDecodeStrictlyAndResponsesKeepTheirInvariant) {
  const auto restore = HelperCommandRequest::fromJson(json::parse(R"({"id":"r","command":"restore","force":true})"));
  EXPECT_EQ(restore.command, HelperCommandKind::restore);
  EXPECT_EQ(restore.force, true);
  EXPECT_FALSE(HelperCommandRequest::fromJson(json::parse(R"({"id":"r","command":"cleanup"})")).force);

  EXPECT_THROW(HelperCommandRequest::fromJson(json::parse(R"({"id":"r","command":"Restore"})")), DecodingError);
  EXPECT_THROW(HelperCommandRequest::fromJson(json::parse(R"({"command":"restore"})")), DecodingError);
  EXPECT_THROW(HelperCommandRequest::fromJson(json::parse(R"({"id":"r","command":"restore","force":"yes"})")),
               DecodingError);
  // An incomplete session fails the request even for a command that does not use it.
  EXPECT_THROW(HelperCommandRequest::fromJson(json::parse(R"({"id":"r","command":"restore","session":{"id":"x"}})")),
               DecodingError);

  const HelperCommandResponse failed{"x", false, std::nullopt, "boom"};
  EXPECT_EQ(encodeDocument(failed.toJson()), "{\n  \"error\": \"boom\",\n  \"id\": \"x\",\n  \"ok\": false\n}");
  const HelperCommandResponse succeeded{"x", true, HelperStatus{"idle", true, false, false, std::nullopt, "m"},
                                        std::nullopt};
  EXPECT_FALSE(succeeded.toJson().contains("error"));
  EXPECT_EQ(HelperCommandResponse::fromJson(succeeded.toJson()), succeeded);
}

TEST(EventRecord, AllSixKeysAreRequiredAndSessionIDIsCaseSensitive) {
  const HelperBlockedAppEvent event{"e1", "S1", "com.example.chat", "", "/Applications/Chat.app",
                                    at("2025-03-01T09:30:00Z")};
  const json written = eventsToJson({event});
  EXPECT_EQ(written[0]["occurredAt"], "2025-03-01T09:30:00Z");
  EXPECT_EQ(written[0]["name"], "");
  EXPECT_EQ(eventsFromJson(written), std::vector{event});

  json renamed = written;
  renamed[0].erase("sessionID");
  renamed[0]["sessionId"] = "S1";
  EXPECT_THROW(eventsFromJson(renamed), DecodingError);
}

TEST(HelperCommandErrorText, EveryCaseHasItsExactDescription) {
  const TimePoint endsAt = at("2025-03-01T09:30:00Z");
  EXPECT_STREQ(HelperCommandError::activeSessionLocked(endsAt).what(),
               "Session is locked until 2025-03-01T09:30:00.000Z.");
  EXPECT_STREQ(HelperCommandError::activeSessionLocked(endsAt + std::chrono::milliseconds(250)).what(),
               "Session is locked until 2025-03-01T09:30:00.250Z.");
  EXPECT_STREQ(HelperCommandError::invalidCommand("Apply").what(), "Invalid helper command: Apply");
  EXPECT_STREQ(HelperCommandError::missingArgument("session").what(), "Missing helper argument: session");
  EXPECT_STREQ(HelperCommandError::commandFailed("").what(), "");
  EXPECT_STREQ(HelperCommandError::sessionUpdateRejected("rule").what(), "rule");
  EXPECT_STREQ(HelperCommandError::helperRequiresRoot().what(), "Helper mutation commands must run as root.");
  EXPECT_STREQ(HelperCommandError::sessionDecodeFailed().what(), "Could not decode helper session JSON.");
  EXPECT_STREQ(HelperCommandError::noActiveSession().what(), "No active session is available to update.");
}

TEST(Dates, FormatAndParseAcrossTheCalendar) {
  for (const char* text : {"1970-01-01T00:00:00Z", "1969-12-31T23:59:59Z", "2000-02-29T12:00:00Z",
                           "2025-03-01T09:30:00Z", "2199-12-31T23:59:59Z"}) {
    const auto parsed = parseWholeSecondDate(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(formatWholeSecondDate(*parsed), text);
  }
  for (const char* text : {"2025-03-01 09:30:00Z", "2025-03-01T09:30:00", "2025-13-01T00:00:00Z",
                           "2025-03-01T24:00:00Z", "2025-03-01T09:30:60Z", "2100-02-29T00:00:00Z", ""}) {
    EXPECT_FALSE(parseWholeSecondDate(text)) << text;
  }
  // Far dates either round-trip or are refused; they never wrap around.
  for (const char* text : {"9999-12-31T23:59:59Z", "0001-01-01T00:00:00Z"}) {
    if (const auto parsed = parseWholeSecondDate(text)) {
      EXPECT_EQ(formatWholeSecondDate(*parsed), text);
    }
  }
  EXPECT_EQ(formatMillisecondDate(at("1969-12-31T23:59:59Z") + std::chrono::milliseconds(5)),
            "1969-12-31T23:59:59.005Z");
}

}  // namespace
}  // namespace vellorin
