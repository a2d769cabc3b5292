// Stripping the marked block from a hosts file: stripping twice gives what stripping once gives,
// and a block that apply would write is always stripped again.
#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/HostsBlocker.hpp"

using namespace vellorin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  static const HostsBlocker blocker(HelperPaths::fromEnvironment({}), realFileSystem());
  const std::string_view text = fuzzing::text(data, size);
  const std::string once = blocker.stripBlock(text);
  fuzzing::check(blocker.stripBlock(once) == once, "strip(strip(text)) == strip(text)");
  const std::string withBlock = once + "\n\n" + blocker.renderBlock({"a.example"}, "S") + "\n";
  fuzzing::check(blocker.stripBlock(withBlock).find(blocker.renderBlock({"a.example"}, "S")) == std::string::npos,
                 "an appended block is stripped");
  return 0;
}
