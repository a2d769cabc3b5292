// Stand-ins for macOS system tools on systems that lack them, served behind the command runner.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "VellorinBlockerCore/CommandRunner.hpp"

namespace vellorin {

// When the executable does not exist on this system and is one of the macOS tools the helper
// calls, answers the call the way the helper needs it answered; otherwise nothing, and the runner
// reports the launch failure as usual. On macOS it always answers nothing: the real tools run.
std::optional<ProcessOutput> platformToolStandIn(const std::string& executable, const std::vector<std::string>& arguments);

}  // namespace vellorin
