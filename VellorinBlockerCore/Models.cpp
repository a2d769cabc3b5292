// JSON coding of the helper's records and the texts of its failures.
#include "VellorinBlockerCore/Models.hpp"

#include <utility>

namespace vellorin {
namespace {

using nlohmann::json;

// Reads the members of one JSON object under the shared rules: a required key that is missing,
// null or of another type fails the whole document; an optional key that is missing or null gives
// nothing; an optional key of another type fails too; unknown keys are ignored.
class ObjectReader {
 public:
  ObjectReader(const json& value, std::string place) : object_(value), place_(std::move(place)) {
    if (!object_.is_object()) throw DecodingError("Expected a JSON object at " + describePlace() + ".");
  }

  std::string requiredString(const char* key) const { return string(required(key), key); }
  bool requiredBool(const char* key) const { return boolean(required(key), key); }
  TimePoint requiredDate(const char* key) const { return date(required(key), key); }

  std::optional<std::string> optionalString(const char* key) const {
    const json* value = optional(key);
    return value ? std::optional(string(*value, key)) : std::nullopt;
  }
  std::optional<bool> optionalBool(const char* key) const {
    const json* value = optional(key);
    return value ? std::optional(boolean(*value, key)) : std::nullopt;
  }

  // Adapter::fromJsonAt(value, place) decodes one element of the list.
  template <typename Adapter>
  auto requiredList(const char* key) const {
    return list<Adapter>(required(key), key);
  }
  template <typename Adapter>
  auto optionalList(const char* key) const {
    const json* value = optional(key);
    return value ? std::optional(list<Adapter>(*value, key)) : std::nullopt;
  }

  const json* optional(const char* key) const {
    const auto found = object_.find(key);
    if (found == object_.end() || found->is_null()) return nullptr;
    return &*found;
  }

  std::string placeOf(const char* key) const { return place_.empty() ? key : place_ + "." + key; }

 private:
  const json& required(const char* key) const {
    const auto found = object_.find(key);
    if (found == object_.end()) throw DecodingError("Missing key \"" + placeOf(key) + "\".");
    if (found->is_null()) throw DecodingError("Key \"" + placeOf(key) + "\" is null.");
    return *found;
  }

  std::string string(const json& value, const char* key) const {
    if (!value.is_string()) throw DecodingError("Key \"" + placeOf(key) + "\" is not a string.");
    return value.get<std::string>();
  }

  bool boolean(const json& value, const char* key) const {
    if (!value.is_boolean()) throw DecodingError("Key \"" + placeOf(key) + "\" is not a boolean.");
    return value.get<bool>();
  }

  TimePoint date(const json& value, const char* key) const {
    const std::string text = string(value, key);
    const auto parsed = parseWholeSecondDate(text);
    if (!parsed) {
      throw DecodingError("Key \"" + placeOf(key) + "\" is not a date in the form 2025-03-01T09:30:00Z: \"" + text +
                          "\".");
    }
    return *parsed;
  }

  template <typename Adapter>
  auto list(const json& value, const char* key) const {
    if (!value.is_array()) throw DecodingError("Key \"" + placeOf(key) + "\" is not an array.");
    std::vector<decltype(Adapter::fromJsonAt(value, std::string()))> records;
    records.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
      records.push_back(Adapter::fromJsonAt(value[i], placeOf(key) + "[" + std::to_string(i) + "]"));
    }
    return records;
  }

  std::string describePlace() const { return place_.empty() ? "the top level" : "\"" + place_ + "\""; }

  const json& object_;
  std::string place_;
};

HelperApp appFromJsonAt(const json& value, const std::string& place) {
  const ObjectReader reader(value, place);
  HelperApp app;
  app.id = reader.requiredString("id");
  app.bundleIdentifier = reader.requiredString("bundleIdentifier");
  app.name = reader.requiredString("name");
  app.path = reader.requiredString("path");
  app.isRunning = reader.requiredBool("isRunning");
  app.iconDataUri = reader.optionalString("iconDataUri");
  return app;
}

HelperWebsite websiteFromJsonAt(const json& value, const std::string& place) {
  const ObjectReader reader(value, place);
  HelperWebsite website;
  website.id = reader.requiredString("id");
  website.domain = reader.requiredString("domain");
  website.includeSubdomains = reader.requiredBool("includeSubdomains");
  website.includeWildcardSubdomains = reader.optionalBool("includeWildcardSubdomains").value_or(false);
  return website;
}

// Adapters so that ObjectReader::list can decode nested records with their place in the document.
struct AppAt {
  static HelperApp fromJsonAt(const json& value, const std::string& place) { return appFromJsonAt(value, place); }
};
struct WebsiteAt {
  static HelperWebsite fromJsonAt(const json& value, const std::string& place) {
    return websiteFromJsonAt(value, place);
  }
};

HelperSession sessionFromJsonAt(const json& value, const std::string& place) {
  const ObjectReader reader(value, place);
  HelperSession session;
  session.id = reader.requiredString("id");
  session.profileName = reader.requiredString("profileName");
  session.startedAt = reader.requiredDate("startedAt");
  session.endsAt = reader.requiredDate("endsAt");
  session.apps = reader.requiredList<AppAt>("apps");
  session.websites = reader.requiredList<WebsiteAt>("websites");
  session.websiteMode = reader.optionalString("websiteMode").value_or("blocklist");
  session.browserBlockingApps = reader.optionalList<AppAt>("browserBlockingApps").value_or(std::vector<HelperApp>{});
  session.controlledChromeUserDataDir = reader.optionalString("controlledChromeUserDataDir");
  session.controlledChromeProcessMarker = reader.optionalString("controlledChromeProcessMarker");
  return session;
}

HelperStatus statusFromJsonAt(const json& value, const std::string& place) {
  const ObjectReader reader(value, place);
  HelperStatus status;
  status.phase = reader.requiredString("phase");
  status.helperInstalled = reader.requiredBool("helperInstalled");
  status.hostsBlockPresent = reader.requiredBool("hostsBlockPresent");
  status.pfAnchorPresent = reader.requiredBool("pfAnchorPresent");
  if (const json* session = reader.optional("activeSession")) {
    status.activeSession = sessionFromJsonAt(*session, reader.placeOf("activeSession"));
  }
  status.message = reader.requiredString("message");
  return status;
}

HelperBlockedAppEvent eventFromJsonAt(const json& value, const std::string& place) {
  const ObjectReader reader(value, place);
  HelperBlockedAppEvent event;
  event.id = reader.requiredString("id");
  event.sessionID = reader.requiredString("sessionID");
  event.bundleIdentifier = reader.requiredString("bundleIdentifier");
  event.name = reader.requiredString("name");
  event.path = reader.requiredString("path");
  event.occurredAt = reader.requiredDate("occurredAt");
  return event;
}

json appsToJson(const std::vector<HelperApp>& apps) {
  json array = json::array();
  for (const auto& app : apps) array.push_back(app.toJson());
  return array;
}

}  // namespace

// ---- Session records

json HelperApp::toJson() const {
  json object = {
      {"id", id}, {"bundleIdentifier", bundleIdentifier}, {"name", name}, {"path", path}, {"isRunning", isRunning}};
  if (iconDataUri) object["iconDataUri"] = *iconDataUri;
  return object;
}

json HelperWebsite::toJson() const {
  return {{"id", id},
          {"domain", domain},
          {"includeSubdomains", includeSubdomains},
          {"includeWildcardSubdomains", includeWildcardSubdomains}};
}

json HelperSession::toJson() const {
  json websiteArray = json::array();
  for (const auto& website : websites) websiteArray.push_back(website.toJson());
  json object = {{"id", id},
                 {"profileName", profileName},
                 {"startedAt", formatWholeSecondDate(startedAt)},
                 {"endsAt", formatWholeSecondDate(endsAt)},
                 {"apps", appsToJson(apps)},
                 {"websites", websiteArray},
                 {"websiteMode", websiteMode},
                 {"browserBlockingApps", appsToJson(browserBlockingApps)}};
  if (controlledChromeUserDataDir) object["controlledChromeUserDataDir"] = *controlledChromeUserDataDir;
  if (controlledChromeProcessMarker) object["controlledChromeProcessMarker"] = *controlledChromeProcessMarker;
  return object;
}

HelperSession HelperSession::fromJson(const json& json) { return sessionFromJsonAt(json, ""); }

// ---- Status and version

json HelperStatus::toJson() const {
  json object = {{"phase", phase},
                 {"helperInstalled", helperInstalled},
                 {"hostsBlockPresent", hostsBlockPresent},
                 {"pfAnchorPresent", pfAnchorPresent},
                 {"message", message}};
  if (activeSession) object["activeSession"] = activeSession->toJson();
  return object;
}

HelperStatus HelperStatus::fromJson(const json& json) { return statusFromJsonAt(json, ""); }

json HelperVersionPayload::toJson() const {
  return {{"helperVersion", helperVersion}, {"protocolVersion", protocolVersion}};
}

// ---- Command records

std::string_view textValue(HelperCommandKind kind) {
  switch (kind) {
    case HelperCommandKind::apply:
      return "apply";
    case HelperCommandKind::cleanup:
      return "cleanup";
    case HelperCommandKind::restore:
      return "restore";
    case HelperCommandKind::update:
      return "update";
  }
  return "apply";
}

std::optional<HelperCommandKind> helperCommandKind(std::string_view text) {
  for (const auto kind :
       {HelperCommandKind::apply, HelperCommandKind::cleanup, HelperCommandKind::restore, HelperCommandKind::update}) {
    if (textValue(kind) == text) return kind;
  }
  return std::nullopt;
}

json HelperCommandRequest::toJson() const {
  json object = {{"id", id}, {"command", std::string(textValue(command))}};
  if (session) object["session"] = session->toJson();
  if (force) object["force"] = *force;
  return object;
}

HelperCommandRequest HelperCommandRequest::fromJson(const json& json) {
  const ObjectReader reader(json, "");
  HelperCommandRequest request;
  request.id = reader.requiredString("id");
  const std::string command = reader.requiredString("command");
  const auto kind = helperCommandKind(command);
  if (!kind) throw DecodingError(R"(Key "command" holds an unknown command word: ")" + command + "\".");
  request.command = *kind;
  if (const auto* session = reader.optional("session")) request.session = sessionFromJsonAt(*session, "session");
  request.force = reader.optionalBool("force");
  return request;
}

json HelperCommandResponse::toJson() const {
  json object = {{"id", id}, {"ok", ok}};
  if (status) object["status"] = status->toJson();
  if (error) object["error"] = *error;
  return object;
}

HelperCommandResponse HelperCommandResponse::fromJson(const json& json) {
  const ObjectReader reader(json, "");
  HelperCommandResponse response;
  response.id = reader.requiredString("id");
  response.ok = reader.requiredBool("ok");
  if (const auto* status = reader.optional("status")) response.status = statusFromJsonAt(*status, "status");
  response.error = reader.optionalString("error");
  return response;
}

// ---- Events

json HelperBlockedAppEvent::toJson() const {
  return {{"id", id},     {"sessionID", sessionID}, {"bundleIdentifier", bundleIdentifier},
          {"name", name}, {"path", path},           {"occurredAt", formatWholeSecondDate(occurredAt)}};
}

json eventsToJson(const std::vector<HelperBlockedAppEvent>& events) {
  json array = json::array();
  for (const auto& event : events) array.push_back(event.toJson());
  return array;
}

std::vector<HelperBlockedAppEvent> eventsFromJson(const json& json) {
  if (!json.is_array()) throw DecodingError("Expected a JSON array of events at the top level.");
  std::vector<HelperBlockedAppEvent> events;
  events.reserve(json.size());
  for (size_t i = 0; i < json.size(); ++i) events.push_back(eventFromJsonAt(json[i], "[" + std::to_string(i) + "]"));
  return events;
}

// ---- Failures

HelperCommandError::HelperCommandError(Case errorCase, std::string description)
    : case_(errorCase), description_(std::move(description)) {}

HelperCommandError HelperCommandError::activeSessionLocked(TimePoint endsAt) {
  return {Case::activeSessionLocked, "Session is locked until " + formatMillisecondDate(endsAt) + "."};
}
HelperCommandError HelperCommandError::invalidCommand(const std::string& word) {
  return {Case::invalidCommand, "Invalid helper command: " + word};
}
HelperCommandError HelperCommandError::missingArgument(const std::string& name) {
  return {Case::missingArgument, "Missing helper argument: " + name};
}
HelperCommandError HelperCommandError::commandFailed(std::string output, std::optional<int> exitStatus) {
  HelperCommandError failure(Case::commandFailed, std::move(output));
  failure.exitStatus_ = exitStatus;
  return failure;
}
HelperCommandError HelperCommandError::sessionUpdateRejected(std::string rule) {
  return {Case::sessionUpdateRejected, std::move(rule)};
}
HelperCommandError HelperCommandError::helperRequiresRoot() {
  return {Case::helperRequiresRoot, "Helper mutation commands must run as root."};
}
HelperCommandError HelperCommandError::sessionDecodeFailed() {
  return {Case::sessionDecodeFailed, "Could not decode helper session JSON."};
}
HelperCommandError HelperCommandError::noActiveSession() {
  return {Case::noActiveSession, "No active session is available to update."};
}

std::string failureDescription(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "Unknown failure.";
  }
}

std::string encodeDocument(const json& json) { return json.dump(2); }

json parseDocument(std::string_view bytes) { return json::parse(bytes.begin(), bytes.end()); }

}  // namespace vellorin
