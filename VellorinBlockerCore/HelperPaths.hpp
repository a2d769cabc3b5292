// Every location the helper reads or writes, and the dry-run flag, taken from the environment.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vellorin {

// The product's reverse-DNS identifier: the packet-filter anchor name and the service label.
inline constexpr std::string_view VellorinServiceIdentifier = "app.vellorin.helper";

struct HelperPaths {
  std::filesystem::path hostsPath;
  std::filesystem::path pfConfPath;
  std::filesystem::path pfAnchorPath;
  std::filesystem::path pfTokenPath;
  std::filesystem::path resolverDirectory;
  std::filesystem::path stateDirectory;
  std::filesystem::path commandDirectory;
  // The file the daemon's standard error is appended to, when its service manager keeps it in one
  // that gets rotated (launchd and newsyslog): the daemon follows it to the new file.
  std::optional<std::filesystem::path> logPath;
  bool dryRun = false;

  bool operator==(const HelperPaths&) const = default;

  // Builds the configuration from environment variables (VELLORIN_*), falling back to the
  // built-in defaults. A relative value is resolved against the current working directory; the
  // empty text names that directory. Never fails and touches no file.
  static HelperPaths fromEnvironment(const std::map<std::string, std::string>& environment);

  std::filesystem::path statePath() const;
  std::filesystem::path hostsBackupPath() const;
  std::filesystem::path resolverManifestPath() const;
  std::filesystem::path resolverBackupDirectory() const;
  // The parent of the command directory, shared with every local user.
  std::filesystem::path commandParentDirectory() const;
  std::filesystem::path blockedApplicationEventsPath() const;
  std::filesystem::path commandProtocolPath() const;
  std::filesystem::path commandRequestPath(const std::string& id) const;
  std::filesystem::path commandResponsePath(const std::string& id) const;
};

// The process environment as a map, for HelperPaths::fromEnvironment.
std::map<std::string, std::string> processEnvironment();

// dir + "/" + name, where name is appended as text even if it starts with "/".
std::filesystem::path appendingComponent(const std::filesystem::path& directory, std::string_view name);

}  // namespace vellorin
