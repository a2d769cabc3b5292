// Removal of the hosts-file, packet-filter and resolver blocks, in that order.
#include "VellorinBlockerCore/LegacyNetworkBlockCleanup.hpp"

#include <utility>

namespace vellorin {

LegacyNetworkBlockCleanup::LegacyNetworkBlockCleanup(HelperPaths paths, std::shared_ptr<FileSystem> fileManager,
                                                     ProcessRunner processRunner)
    : hostsBlocker(paths, fileManager),
      packetFilterBlocker(paths, fileManager, std::move(processRunner)),
      wildcardResolverBlocker(std::move(paths), std::move(fileManager)) {}

void LegacyNetworkBlockCleanup::restore(bool force) const {
  hostsBlocker.restore();
  packetFilterBlocker.restore(force);
  wildcardResolverBlocker.restore();
}

}  // namespace vellorin
