// Locations and their environment overrides.
#include "VellorinBlockerCore/HelperPaths.hpp"

#include <unistd.h>

#include <string>

// POSIX's process environment, which macOS's unistd.h does not declare.
extern char** environ;  // NOLINT(readability-redundant-declaration,cppcoreguidelines-avoid-non-const-global-variables)

namespace vellorin {
namespace {

std::filesystem::path currentDirectory() {
  std::error_code error;
  auto directory = std::filesystem::current_path(error);
  return error ? std::filesystem::path("/") : directory;
}

// Reads a value as a file-system path (never as a URL). Trailing slashes are dropped so that the
// last component of a directory location is its own name.
std::filesystem::path location(const std::map<std::string, std::string>& environment, const char* variable,
                               std::string_view fallback) {
  const auto found = environment.find(variable);
  std::string text = found == environment.end() ? std::string(fallback) : found->second;
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (text.empty()) return currentDirectory();
  if (text.front() == '/') return text;
  return appendingComponent(currentDirectory(), text);
}

}  // namespace

HelperPaths HelperPaths::fromEnvironment(const std::map<std::string, std::string>& environment) {
  const std::string anchorDefault = "/etc/pf.anchors/" + std::string(VellorinServiceIdentifier);
  const auto dryRun = environment.find("VELLORIN_DRY_RUN");
  std::optional<std::filesystem::path> logPath;
  if (const auto log = environment.find("VELLORIN_LOG_PATH"); log != environment.end() && !log->second.empty()) {
    logPath = location(environment, "VELLORIN_LOG_PATH", "");
  }
  return HelperPaths{
      location(environment, "VELLORIN_HOSTS_PATH", "/etc/hosts"),
      location(environment, "VELLORIN_PF_CONF_PATH", "/etc/pf.conf"),
      location(environment, "VELLORIN_PF_ANCHOR_PATH", anchorDefault),
      location(environment, "VELLORIN_PF_TOKEN_PATH", "/etc/VellorinPFToken"),
      location(environment, "VELLORIN_RESOLVER_DIR", "/etc/resolver"),
      location(environment, "VELLORIN_STATE_DIR", "/Library/Application Support/Vellorin"),
      location(environment, "VELLORIN_COMMAND_DIR", "/Users/Shared/Vellorin/Commands"),
      logPath,
      dryRun != environment.end() && dryRun->second == "1",
  };
}

std::filesystem::path appendingComponent(const std::filesystem::path& directory, std::string_view name) {
  std::string text = directory.native();
  if (text.empty() || text.back() != '/') text += '/';
  text += name;
  return text;
}

std::filesystem::path HelperPaths::statePath() const {
  return appendingComponent(stateDirectory, "active-session.json");
}
std::filesystem::path HelperPaths::hostsBackupPath() const {
  return appendingComponent(stateDirectory, "hosts.backup");
}
std::filesystem::path HelperPaths::resolverManifestPath() const {
  return appendingComponent(stateDirectory, "resolver-manifest.json");
}
std::filesystem::path HelperPaths::resolverBackupDirectory() const {
  return appendingComponent(stateDirectory, "resolver-backups");
}
std::filesystem::path HelperPaths::commandParentDirectory() const {
  const auto parent = commandDirectory.parent_path();
  return parent.empty() ? std::filesystem::path("/") : parent;
}
std::filesystem::path HelperPaths::blockedApplicationEventsPath() const {
  return appendingComponent(commandParentDirectory(), "blocked-app-events.json");
}
std::filesystem::path HelperPaths::commandProtocolPath() const {
  return appendingComponent(commandParentDirectory(), "helper-protocol-v1");
}
std::filesystem::path HelperPaths::commandRequestPath(const std::string& id) const {
  return appendingComponent(commandDirectory, id + ".request.json");
}
std::filesystem::path HelperPaths::commandResponsePath(const std::string& id) const {
  return appendingComponent(commandDirectory, id + ".response.json");
}

std::map<std::string, std::string> processEnvironment() {
  std::map<std::string, std::string> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals == std::string::npos) continue;
    environment.emplace(text.substr(0, equals), text.substr(equals + 1));
  }
  return environment;
}

}  // namespace vellorin
