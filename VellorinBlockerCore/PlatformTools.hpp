// The runner the helper uses: the real one, with stand-ins for the macOS tools on systems that lack them.
#pragma once

#include "VellorinBlockerCore/CommandRunner.hpp"

namespace vellorin {

// Wraps a runner: a call to one of the macOS tools the helper relies on ("/sbin/pfctl",
// "/usr/bin/dscacheutil", "/usr/bin/killall" for mDNSResponder) is answered by a stand-in when
// that tool does not exist on this system; every other call, and every call on macOS, goes to
// `runner`. The stand-ins print what the helper reads from the real tools: no packet filter is
// loaded (no token), host look-ups go to the system resolver, and the cache flush asks
// systemd-resolved (through `runner`) when it runs. The console notification has no counterpart,
// so its tools fail to launch, as missing tools do.
ProcessRunner withPlatformStandIns(ProcessRunner runner);

// runProcess with the stand-ins: the runner of the helper's own process.
ProcessRunner defaultProcessRunner();

}  // namespace vellorin
