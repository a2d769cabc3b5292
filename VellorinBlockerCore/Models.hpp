// The records that cross the helper's boundary, their JSON form, and the helper's own failures.
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "VellorinBlockerCore/DateFormatting.hpp"

namespace vellorin {

inline constexpr std::string_view VellorinHelperVersion = "11";
inline constexpr std::string_view VellorinHelperProtocolVersion = "3";

// A document that is valid JSON but not a valid record: a required key missing or null, a value of
// the wrong type, a date in another form, an unknown command word. The text names the key's place.
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HelperApp {
  std::string id;
  std::string bundleIdentifier;
  std::string name;
  std::string path;
  bool isRunning = false;
  std::optional<std::string> iconDataUri;

  bool operator==(const HelperApp&) const = default;
  nlohmann::json toJson() const;
};

struct HelperWebsite {
  std::string id;
  std::string domain;
  bool includeSubdomains = false;
  bool includeWildcardSubdomains = false;

  bool operator==(const HelperWebsite&) const = default;
  nlohmann::json toJson() const;
};

struct HelperSession {
  std::string id;
  std::string profileName;
  TimePoint startedAt;
  TimePoint endsAt;
  std::vector<HelperApp> apps;
  std::vector<HelperWebsite> websites;
  std::string websiteMode = "blocklist";
  std::vector<HelperApp> browserBlockingApps;
  std::optional<std::string> controlledChromeUserDataDir;
  std::optional<std::string> controlledChromeProcessMarker;

  bool operator==(const HelperSession&) const = default;
  nlohmann::json toJson() const;
  static HelperSession fromJson(const nlohmann::json& json);
};

struct HelperStatus {
  std::string phase;
  bool helperInstalled = false;
  bool hostsBlockPresent = false;
  bool pfAnchorPresent = false;
  std::optional<HelperSession> activeSession;
  std::string message;

  bool operator==(const HelperStatus&) const = default;
  nlohmann::json toJson() const;
  static HelperStatus fromJson(const nlohmann::json& json);
};

struct HelperVersionPayload {
  std::string helperVersion;
  std::string protocolVersion;

  bool operator==(const HelperVersionPayload&) const = default;
  nlohmann::json toJson() const;
};

enum class HelperCommandKind { apply, cleanup, restore, update };

// The text value of a command word, and the command word of a text value (exact, case-sensitive).
std::string_view textValue(HelperCommandKind kind);
std::optional<HelperCommandKind> helperCommandKind(std::string_view text);

struct HelperCommandRequest {
  std::string id;
  HelperCommandKind command = HelperCommandKind::apply;
  std::optional<HelperSession> session;
  std::optional<bool> force;

  bool operator==(const HelperCommandRequest&) const = default;
  nlohmann::json toJson() const;
  static HelperCommandRequest fromJson(const nlohmann::json& json);
};

struct HelperCommandResponse {
  std::string id;
  bool ok = false;
  std::optional<HelperStatus> status;
  std::optional<std::string> error;

  bool operator==(const HelperCommandResponse&) const = default;
  nlohmann::json toJson() const;
  static HelperCommandResponse fromJson(const nlohmann::json& json);
};

struct HelperBlockedAppEvent {
  std::string id;
  std::string sessionID;
  std::string bundleIdentifier;
  std::string name;
  std::string path;
  TimePoint occurredAt;

  bool operator==(const HelperBlockedAppEvent&) const = default;
  nlohmann::json toJson() const;
};

nlohmann::json eventsToJson(const std::vector<HelperBlockedAppEvent>& events);
std::vector<HelperBlockedAppEvent> eventsFromJson(const nlohmann::json& json);

// The helper's own failures. what() is the exact description text of the case.
class HelperCommandError : public std::exception {
 public:
  enum class Case {
    activeSessionLocked,
    invalidCommand,
    missingArgument,
    commandFailed,
    sessionUpdateRejected,
    helperRequiresRoot,
    sessionDecodeFailed,
    noActiveSession,
  };

  static HelperCommandError activeSessionLocked(TimePoint endsAt);
  static HelperCommandError invalidCommand(const std::string& word);
  static HelperCommandError missingArgument(const std::string& name);
  // `output` is what the tool printed (shortened by the runner); `exitStatus` its status, when known.
  static HelperCommandError commandFailed(std::string output, std::optional<int> exitStatus = std::nullopt);
  static HelperCommandError sessionUpdateRejected(std::string rule);
  static HelperCommandError helperRequiresRoot();
  static HelperCommandError sessionDecodeFailed();
  static HelperCommandError noActiveSession();

  Case errorCase() const { return case_; }
  // The exit status of the tool of a commandFailed failure, when the runner knew it.
  std::optional<int> exitStatus() const { return exitStatus_; }
  // The description text of the case, its payload included.
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  HelperCommandError(Case errorCase, std::string description);

  Case case_;
  std::string description_;
  std::optional<int> exitStatus_;
};

// The text of any failure, the same at every boundary that reports one: the description of a
// HelperCommandError, the message of any other exception.
std::string failureDescription(const std::exception_ptr& failure);

// Documents as the helper writes them: keys sorted, pretty-printed, no trailing line feed.
std::string encodeDocument(const nlohmann::json& json);

// Parses bytes as one JSON document; throws the JSON library's parse error.
nlohmann::json parseDocument(std::string_view bytes);

template <typename Record>
Record decodeDocument(std::string_view bytes) {
  return Record::fromJson(parseDocument(bytes));
}

}  // namespace vellorin
