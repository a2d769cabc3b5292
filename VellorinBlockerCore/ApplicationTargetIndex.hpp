// The application targets indexed by bundle path, for finding the target of a command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/ProcessSnapshot.hpp"

namespace vellorin {

class PieceHashes;

// The application targets indexed by bundle path, so that finding the target of a command line
// costs time in proportion to the command line, not to the number of targets. A target owns a
// command line that equals its path, begins with its path and "/", or holds its path followed by
// "/Contents/MacOS/" anywhere; of several, the first in the given order wins. The path counts as
// written and in each form the process status tool may print it (`printedForms`: on macOS, in each
// Unicode normalization form and in byte mode too), and the comparison is of bytes, whatever the
// command line holds. Only application bundles are ever targets: a path that is not absolute and
// ending in ".app" owns nothing. The index refers to `apps`, which must outlive it.
class ApplicationTargetIndex {
 public:
  explicit ApplicationTargetIndex(const std::vector<HelperApp>& apps,
                                  const PrintedForms& printedForms = processStatusForms);
  ~ApplicationTargetIndex();
  // It refers to the targets it was built from: a copy could outlive them.
  ApplicationTargetIndex(const ApplicationTargetIndex&) = delete;
  ApplicationTargetIndex& operator=(const ApplicationTargetIndex&) = delete;
  ApplicationTargetIndex(ApplicationTargetIndex&&) = delete;
  ApplicationTargetIndex& operator=(ApplicationTargetIndex&&) = delete;

  const HelperApp* owner(std::string_view command) const;
  bool empty() const { return byPathHash_.empty(); }

 private:
  const std::vector<HelperApp>& apps_;
  std::vector<std::pair<std::string, size_t>> paths_;     // a path form, and its target's position in apps_
  std::unordered_multimap<uint64_t, size_t> byPathHash_;  // path hash -> position in paths_
  size_t longestPath_ = 0;
  // Working space, reused from one command line to the next: an index serves one thread at a time.
  std::unique_ptr<PieceHashes> hashes_;
};

}  // namespace vellorin
