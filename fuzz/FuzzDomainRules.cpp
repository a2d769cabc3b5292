// Domain normalisation of what a user typed: the result is UTF-8 and holds no path, query or
// fragment; the derived lists hold no empty name and no duplicate.
#include <set>

#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/DomainRules.hpp"
#include "VellorinBlockerCore/Text.hpp"

using namespace vellorin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string entered(fuzzing::text(data, size));
  const std::string host = DomainRules::normalize(entered);
  fuzzing::check(isValidUtf8(host), "a host name is UTF-8");
  fuzzing::check(host.find_first_of("/?#") == std::string::npos, "a host name holds no path, query or fragment");
  const std::vector<HelperWebsite> websites = {{"1", entered, true, true}, {"2", host, false, true}};
  for (const auto& list : {DomainRules::expandedDomains(websites), DomainRules::wildcardResolverDomains(websites)}) {
    fuzzing::check(std::set<std::string>(list.begin(), list.end()).size() == list.size(), "no duplicate");
    for (const auto& name : list) fuzzing::check(!name.empty(), "no empty name");
  }
  return 0;
}
