// Tests of the stand-ins that answer for macOS tools on systems without them.
#include "VellorinBlockerCore/PlatformTools.hpp"

#include <gtest/gtest.h>

namespace vellorin {
namespace {

#if !defined(__APPLE__)

TEST(PlatformToolsTest, QuietToolsSucceedWithoutOutput) {
  const std::pair<std::string, std::vector<std::string>> calls[] = {
      {"/sbin/pfctl", {"-E", "-f", "/etc/pf.conf", "-F", "states"}}, {"/sbin/pfctl", {"-d", "-f", "/etc/pf.conf"}},
      {"/usr/bin/dscacheutil", {"-flushcache"}}, {"/usr/bin/killall", {"-HUP", "mDNSResponder"}}};
  for (const auto& [executable, arguments] : calls) {
    const auto output = platformToolStandIn(executable, arguments);
    ASSERT_TRUE(output) << executable;
    EXPECT_EQ(output->exitStatus, 0) << executable;
    EXPECT_EQ(output->bytes, "") << executable;
  }
  EXPECT_FALSE(platformToolStandIn("/bin/launchctl", {"asuser", "501", "/usr/bin/osascript"}));
  EXPECT_FALSE(platformToolStandIn("/usr/bin/osascript", {"-e", "display notification \"x\""}));
  EXPECT_FALSE(platformToolStandIn("/usr/bin/killall", {"-9", "Finder"}));
}

TEST(PlatformToolsTest, HostLookupPrintsIpv4AddressLines) {
  const auto localhost = platformToolStandIn("/usr/bin/dscacheutil", {"-q", "host", "-a", "name", "localhost"});
  ASSERT_TRUE(localhost);
  EXPECT_NE(localhost->bytes.find("ip_address: 127.0.0.1\n"), std::string::npos) << localhost->bytes;
  EXPECT_EQ(localhost->bytes.find("::1"), std::string::npos) << localhost->bytes;
  const auto numeric = platformToolStandIn("/usr/bin/dscacheutil", {"-q", "host", "-a", "name", "10.1.2.3"});
  EXPECT_EQ(numeric->bytes, "name: 10.1.2.3\nip_address: 10.1.2.3\n\n");
}

#endif

}  // namespace
}  // namespace vellorin
