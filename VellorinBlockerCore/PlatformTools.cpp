// Stand-ins for macOS system tools. None is provided yet: a missing tool is a launch failure.
#include "VellorinBlockerCore/PlatformTools.hpp"

namespace vellorin {

std::optional<ProcessOutput> platformToolStandIn(const std::string&, const std::vector<std::string>&) {
  return std::nullopt;
}

}  // namespace vellorin
