// Locations from the environment and the locations derived from them.
#include <gtest/gtest.h>

#include "VellorinBlockerCore/HelperPaths.hpp"

namespace vellorin {
namespace {

TEST(HelperPathsFromEnvironment, DefaultsAndDerivedLocations) {
  const auto paths = HelperPaths::fromEnvironment({});
  EXPECT_EQ(paths.pfAnchorPath, "/etc/pf.anchors/app.vellorin.helper");
  EXPECT_EQ(paths.statePath(), "/Library/Application Support/Vellorin/active-session.json");
  EXPECT_EQ(paths.blockedApplicationEventsPath(), "/Users/Shared/Vellorin/blocked-app-events.json");
  EXPECT_EQ(paths.commandResponsePath("abc"), "/Users/Shared/Vellorin/Commands/abc.response.json");
  EXPECT_FALSE(paths.dryRun);
  for (const auto& [value, expected] : std::vector<std::pair<std::string, bool>>{
           {"1", true}, {"true", false}, {"01", false}, {" 1", false}, {"", false}}) {
    EXPECT_EQ(HelperPaths::fromEnvironment({{"VELLORIN_DRY_RUN", value}}).dryRun, expected) << value;
  }
}

TEST(HelperPathsFromEnvironment, OverridesAreReadAsPathsNeverAsURLs) {
  const auto cwd = std::filesystem::current_path().string();
  const auto paths = HelperPaths::fromEnvironment({{"VELLORIN_COMMAND_DIR", "/tmp/q/cmds/"},
                                                   {"VELLORIN_STATE_DIR", "state"},
                                                   {"VELLORIN_HOSTS_PATH", ""},
                                                   {"VELLORIN_RESOLVER_DIR", "file:///etc/x"},
                                                   {"VELLORIN_PF_CONF_PATH", "c/"}});
  EXPECT_EQ(paths.commandProtocolPath(), "/tmp/q/helper-protocol-v1");
  EXPECT_EQ(paths.statePath().string(), cwd + "/state/active-session.json");
  EXPECT_EQ(paths.hostsPath.string(), cwd);
  EXPECT_EQ(paths.resolverDirectory.string(), cwd + "/file:///etc/x");
  EXPECT_EQ(paths.pfConfPath.string(), cwd + "/c") << "a trailing slash goes";
  // An id is appended as text, even one that starts with a slash.
  EXPECT_EQ(paths.commandResponsePath("/etc/passwd").string(), "/tmp/q/cmds//etc/passwd.response.json");
}

}  // namespace
}  // namespace vellorin
