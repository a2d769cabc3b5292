// Removal of every network-level website block of the older layout, in one call.
#pragma once

#include <memory>

#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"

namespace vellorin {

class LegacyNetworkBlockCleanup {
 public:
  LegacyNetworkBlockCleanup(HelperPaths paths, std::shared_ptr<FileSystem> fileManager,
                            ProcessRunner processRunner = defaultProcessRunner());

  // Removes the hosts-file block, then the packet-filter anchor (force passed on), then the
  // wildcard resolver files, stopping at the first failure.
  void restore(bool force) const;

 private:
  HelperPaths paths_;
  std::shared_ptr<FileSystem> fileManager_;
  ProcessRunner processRunner_;
};

}  // namespace vellorin
