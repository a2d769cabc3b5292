// Removal of every network-level website block of the older layout, in one call.
#pragma once

#include <memory>

#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"
#include "VellorinBlockerCore/HostsBlocker.hpp"
#include "VellorinBlockerCore/PacketFilterBlocker.hpp"
#include "VellorinBlockerCore/WildcardResolverBlocker.hpp"

namespace vellorin {

// The three website blockers, built from the same paths and file manager. Construction touches no
// file and runs no tool.
struct LegacyNetworkBlockCleanup {
  HostsBlocker hostsBlocker;
  PacketFilterBlocker packetFilterBlocker;
  WildcardResolverBlocker wildcardResolverBlocker;

  LegacyNetworkBlockCleanup(HelperPaths paths, std::shared_ptr<FileSystem> fileManager, ProcessRunner processRunner);

  // Removes the hosts-file block, then the packet-filter anchor (force passed on), then the
  // wildcard resolver files. The first failure is passed on unchanged and the later steps do not
  // run; each step can be repeated, so running restore again completes the work.
  void restore(bool force) const;
};

}  // namespace vellorin
