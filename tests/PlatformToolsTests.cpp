// Tests of the stand-ins that answer for macOS tools on systems without them.
#include "VellorinBlockerCore/PlatformTools.hpp"

#include <gtest/gtest.h>

#include "VellorinBlockerCore/Models.hpp"
#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

#if !defined(__APPLE__)

TEST(PlatformTools, StandInsAnswerOnlyForTheMissingNetworkToolsAndEverythingElseGoesThrough) {
  testing::RecordingRunner real;
  const ProcessRunner run = withPlatformStandIns(real.runner());
  EXPECT_EQ(run("/sbin/pfctl", {"-E", "-f", "/etc/pf.conf", "-F", "states"}, {}), "") << "no token: nothing to release";
  // A numeric name resolves without the machine's hosts file or name servers.
  EXPECT_EQ(run("/usr/bin/dscacheutil", {"-q", "host", "-a", "name", "127.0.0.1"}, {}),
            "name: 127.0.0.1\nip_address: 127.0.0.1\n\n");
  if (!std::filesystem::exists("/usr/bin/killall")) {  // psmisc's killall is the real tool where installed
    for (const std::vector<std::string>& flush : {std::vector<std::string>{"-HUP", "mDNSResponder"}, {"mDNSResponderHelper"}}) {
      EXPECT_EQ(run("/usr/bin/killall", flush, {}), "") << flush.back();
    }
  }
  EXPECT_TRUE(real.calls().empty());

  // An unknown use of a stand-in fails under the runner's policy; a real kill is never swallowed.
  EXPECT_THROW(run("/usr/bin/dscacheutil", {"-cachedump"}, {}), HelperCommandError);
  EXPECT_EQ(run("/usr/bin/dscacheutil", {"-q"}, RunOptions{.allowFailure = true}), "dscacheutil: unsupported arguments\n");
  run("/usr/bin/killall", {"-9", "SomeAgent"}, {});
  run("/bin/ps", {"-axo", "command="}, {});
  EXPECT_EQ(real.calls(), (std::vector<testing::RecordedCall>{{"/usr/bin/killall", {"-9", "SomeAgent"}, false},
                                                              {"/bin/ps", {"-axo", "command="}, false}}));
}

#endif

}  // namespace
}  // namespace vellorin
