// The resolver manifest, read leniently: what it lists survives a write and a read, and never a
// name that could lead outside the resolver directory.
#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/WildcardResolverBlocker.hpp"

using namespace vellorin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const auto domains = WildcardResolverBlocker::parseManifest(fuzzing::text(data, size));
  for (const auto& domain : domains) {
    fuzzing::check(!domain.empty() && domain != "." && domain != ".." && domain.find('/') == std::string::npos,
                   "a listed domain is one file name");
  }
  fuzzing::check(WildcardResolverBlocker::parseManifest(WildcardResolverBlocker::encodeManifest(domains)) == domains,
                 "parse(encode(domains)) == domains");
  return 0;
}
