// Website-block removal is not built yet: restore says so instead of pretending to succeed.
#include "VellorinBlockerCore/LegacyNetworkBlockCleanup.hpp"

#include <stdexcept>
#include <utility>

namespace vellorin {

LegacyNetworkBlockCleanup::LegacyNetworkBlockCleanup(HelperPaths paths, std::shared_ptr<FileSystem> fileManager,
                                                     ProcessRunner processRunner)
    : paths_(std::move(paths)), fileManager_(std::move(fileManager)), processRunner_(std::move(processRunner)) {}

void LegacyNetworkBlockCleanup::restore(bool) const {
  throw std::runtime_error("Removing website blocks is not available in this build.");
}

}  // namespace vellorin
