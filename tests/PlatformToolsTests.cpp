// Tests of the stand-ins that answer for macOS tools on systems without them.
#include "VellorinBlockerCore/PlatformTools.hpp"

#include <gtest/gtest.h>

namespace vellorin {
namespace {

#if !defined(__APPLE__)

TEST(PlatformToolsTest, StandInsAnswerOnlyForTheNetworkTools) {
  const auto pf = platformToolStandIn("/sbin/pfctl", {"-E", "-f", "/etc/pf.conf", "-F", "states"});
  ASSERT_TRUE(pf);
  EXPECT_EQ(pf->exitStatus, 0);
  EXPECT_EQ(pf->bytes, "");
  // A numeric name resolves without the machine's hosts file or name servers.
  const auto lookup = platformToolStandIn("/usr/bin/dscacheutil", {"-q", "host", "-a", "name", "127.0.0.1"});
  ASSERT_TRUE(lookup);
  EXPECT_NE(lookup->bytes.find("ip_address: 127.0.0.1\n"), std::string::npos) << lookup->bytes;
  for (const std::vector<std::string>& flush : {std::vector<std::string>{"-HUP", "mDNSResponder"}, {"mDNSResponderHelper"}}) {
    EXPECT_TRUE(platformToolStandIn("/usr/bin/killall", flush)) << flush.back();
  }
  EXPECT_FALSE(platformToolStandIn("/usr/bin/killall", {"-9", "SomeAgent"}));  // a real kill is never swallowed
}

#endif

}  // namespace
}  // namespace vellorin
