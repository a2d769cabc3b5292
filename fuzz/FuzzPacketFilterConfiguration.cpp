// The two edits of the pf configuration: each is a fixed point when repeated, the removal leaves
// no line naming the anchor, and adding then removing leaves what removing alone leaves.
#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/PacketFilterBlocker.hpp"
#include "VellorinBlockerCore/Text.hpp"

using namespace vellorin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  static const PacketFilterBlocker blocker(HelperPaths::fromEnvironment({}), realFileSystem(), ProcessRunner());
  const std::string_view configuration = fuzzing::text(data, size);
  if (!isValidUtf8(configuration)) return 0;  // such a configuration is never edited
  const std::string added = blocker.withAnchorLines(configuration);
  const std::string removed = blocker.withoutAnchorLines(configuration);
  fuzzing::check(blocker.withAnchorLines(added) == added, "adding twice == adding once");
  fuzzing::check(blocker.withoutAnchorLines(removed) == removed, "removing twice == removing once");
  fuzzing::check(!contains(removed, blocker.anchorName), "no line names the anchor after removal");
  fuzzing::check(contains(added, blocker.paths.pfAnchorPath.string()), "the added lines name the anchor file");
  if (!contains(configuration, blocker.anchorName)) {
    fuzzing::check(blocker.withoutAnchorLines(added) == removed, "remove(add(text)) == remove(text)");
  }
  return 0;
}
