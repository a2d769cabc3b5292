// Locations from the environment and the locations derived from them.
#include <gtest/gtest.h>

#include "VellorinBlockerCore/HelperPaths.hpp"

namespace vellorin {
namespace {

TEST(HelperPathsFromEnvironment, DefaultsOverridesAndTheDryRunSwitch) {
  const auto defaults = HelperPaths::fromEnvironment({});  // where the focus application looks on a Mac
  EXPECT_EQ(std::pair(defaults.statePath(), defaults.blockedApplicationEventsPath()),
            std::pair(std::filesystem::path("/Library/Application Support/Vellorin/active-session.json"),
                      std::filesystem::path("/Users/Shared/Vellorin/blocked-app-events.json")));
  EXPECT_FALSE(defaults.dryRun || defaults.logPath);
  for (const char* value : {"1", "true", " 1"})
    EXPECT_EQ(HelperPaths::fromEnvironment({{"VELLORIN_DRY_RUN", value}}).dryRun, value[0] == '1');
  // A relative value lies under the working directory, even one that looks like a URL.
  const auto paths =
      HelperPaths::fromEnvironment({{"VELLORIN_COMMAND_DIR", "/tmp/q/cmds/"}, {"VELLORIN_LOG_PATH", "file:///x"}});
  EXPECT_EQ(paths.commandProtocolPath(), "/tmp/q/helper-protocol-v1");
  EXPECT_EQ(paths.logPath, std::filesystem::path(std::filesystem::current_path().string() + "/file:///x"));
  // An id is appended as text, even one that starts with a slash.
  EXPECT_EQ(paths.commandResponsePath("/etc/passwd").string(), "/tmp/q/cmds//etc/passwd.response.json");
}

}  // namespace
}  // namespace vellorin
