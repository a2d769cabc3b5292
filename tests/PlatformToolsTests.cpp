// Tests of the stand-ins that answer for macOS tools on systems without them.
#include "VellorinBlockerCore/PlatformTools.hpp"

#include <gtest/gtest.h>

namespace vellorin {
namespace {

#if defined(__APPLE__)

TEST(PlatformToolsTest, MacOSRunsTheRealTools) {
  EXPECT_FALSE(platformToolStandIn("/sbin/pfctl", {"-d"}));
  EXPECT_FALSE(platformToolStandIn("/usr/bin/dscacheutil", {"-flushcache"}));
}

#else

TEST(PlatformToolsTest, QuietToolsSucceedWithoutOutput) {
  const std::pair<std::string, std::vector<std::string>> calls[] = {
      {"/sbin/pfctl", {"-E", "-f", "/etc/pf.conf", "-F", "states"}},
      {"/sbin/pfctl", {"-X", "token", "-f", "/etc/pf.conf"}},
      {"/sbin/pfctl", {"-d", "-f", "/etc/pf.conf"}},
      {"/usr/bin/dscacheutil", {"-flushcache"}},
      {"/usr/bin/killall", {"-HUP", "mDNSResponder"}},
      {"/usr/bin/killall", {"-HUP", "mDNSResponderHelper"}},
      {"/usr/bin/dscacheutil", {"-q", "host", "-a", "name", ""}},
  };
  for (const auto& [executable, arguments] : calls) {
    const auto output = platformToolStandIn(executable, arguments);
    ASSERT_TRUE(output) << executable << " " << arguments.front();
    EXPECT_EQ(output->exitStatus, 0) << executable << " " << arguments.front();
    EXPECT_EQ(output->bytes, "") << executable << " " << arguments.front();
    EXPECT_FALSE(output->timedOut);
  }
}

TEST(PlatformToolsTest, HostLookupPrintsIpv4AddressLines) {
  const auto localhost = platformToolStandIn("/usr/bin/dscacheutil", {"-q", "host", "-a", "name", "localhost"});
  ASSERT_TRUE(localhost);
  EXPECT_EQ(localhost->exitStatus, 0);
  EXPECT_NE(localhost->bytes.find("name: localhost\n"), std::string::npos) << localhost->bytes;
  EXPECT_NE(localhost->bytes.find("ip_address: 127.0.0.1\n"), std::string::npos) << localhost->bytes;
  EXPECT_EQ(localhost->bytes.find("::1"), std::string::npos) << localhost->bytes;

  const auto numeric = platformToolStandIn("/usr/bin/dscacheutil", {"-q", "host", "-a", "name", "10.1.2.3"});
  ASSERT_TRUE(numeric);
  EXPECT_EQ(numeric->bytes, "name: 10.1.2.3\nip_address: 10.1.2.3\n\n");
}

TEST(PlatformToolsTest, ToolsWithoutCounterpartAreLaunchFailures) {
  EXPECT_FALSE(platformToolStandIn("/bin/launchctl", {"asuser", "501", "/usr/bin/osascript"}));
  EXPECT_FALSE(platformToolStandIn("/usr/bin/osascript", {"-e", "display notification \"x\""}));
  EXPECT_FALSE(platformToolStandIn("/usr/bin/killall", {"-9", "Finder"}));
  EXPECT_FALSE(platformToolStandIn("/opt/unknown/tool", {}));
  const auto unsupported = platformToolStandIn("/usr/bin/dscacheutil", {"-statistics"});
  ASSERT_TRUE(unsupported);
  EXPECT_NE(unsupported->exitStatus, 0);
}

#endif

}  // namespace
}  // namespace vellorin
