// Locations from the environment and the locations derived from them.
#include <gtest/gtest.h>

#include <filesystem>

#include "VellorinBlockerCore/HelperPaths.hpp"

namespace vellorin {
namespace {

TEST(HelperPathsFromEnvironment, DefaultsWhenNothingIsSet) {
  const auto paths = HelperPaths::fromEnvironment({});
  EXPECT_EQ(paths.hostsPath, "/etc/hosts");
  EXPECT_EQ(paths.pfConfPath, "/etc/pf.conf");
  EXPECT_EQ(paths.pfAnchorPath, "/etc/pf.anchors/app.vellorin.helper");
  EXPECT_EQ(paths.pfTokenPath, "/etc/VellorinPFToken");
  EXPECT_EQ(paths.resolverDirectory, "/etc/resolver");
  EXPECT_EQ(paths.statePath(), "/Library/Application Support/Vellorin/active-session.json");
  EXPECT_EQ(paths.resolverBackupDirectory(), "/Library/Application Support/Vellorin/resolver-backups");
  EXPECT_EQ(paths.blockedApplicationEventsPath(), "/Users/Shared/Vellorin/blocked-app-events.json");
  EXPECT_EQ(paths.commandProtocolPath(), "/Users/Shared/Vellorin/helper-protocol-v1");
  EXPECT_EQ(paths.commandResponsePath("abc"), "/Users/Shared/Vellorin/Commands/abc.response.json");
  EXPECT_EQ(paths.commandRequestPath("abc"), "/Users/Shared/Vellorin/Commands/abc.request.json");
  EXPECT_FALSE(paths.dryRun);
}

TEST(HelperPathsFromEnvironment, DryRunOnlyForExactlyOne) {
  for (const auto& [value, expected] : std::vector<std::pair<std::string, bool>>{
           {"1", true}, {"true", false}, {"0", false}, {"01", false}, {" 1", false}, {"", false}}) {
    EXPECT_EQ(HelperPaths::fromEnvironment({{"VELLORIN_DRY_RUN", value}}).dryRun, expected) << value;
  }
}

TEST(HelperPathsFromEnvironment, EventLogAndMarkerFollowTheCommandDirectoryNotTheState) {
  const auto paths = HelperPaths::fromEnvironment(
      {{"VELLORIN_COMMAND_DIR", "/tmp/q/cmds/"}, {"VELLORIN_STATE_DIR", "/tmp/s"}});
  EXPECT_EQ(paths.blockedApplicationEventsPath(), "/tmp/q/blocked-app-events.json");
  EXPECT_EQ(paths.commandProtocolPath(), "/tmp/q/helper-protocol-v1");
  EXPECT_EQ(paths.statePath(), "/tmp/s/active-session.json");
  EXPECT_EQ(paths.hostsBackupPath(), "/tmp/s/hosts.backup");
}

TEST(HelperPathsFromEnvironment, RelativeAndEmptyValuesResolveAgainstTheWorkingDirectory) {
  const auto cwd = std::filesystem::current_path();
  const auto paths = HelperPaths::fromEnvironment(
      {{"VELLORIN_STATE_DIR", "state"}, {"VELLORIN_HOSTS_PATH", ""}, {"VELLORIN_RESOLVER_DIR", "file:///etc/x"}});
  EXPECT_EQ(paths.stateDirectory, cwd / "state");
  EXPECT_EQ(paths.hostsPath, cwd);
  // Values are paths, never URLs.
  EXPECT_EQ(paths.resolverDirectory.string(), cwd.string() + "/file:///etc/x");
}

TEST(HelperPathsFromEnvironment, AnIdIsAppendedAsTextEvenWithASlashInFront) {
  const auto paths = HelperPaths::fromEnvironment({{"VELLORIN_COMMAND_DIR", "/q"}});
  EXPECT_EQ(paths.commandResponsePath("/etc/passwd").string(), "/q//etc/passwd.response.json");
}

}  // namespace
}  // namespace vellorin
