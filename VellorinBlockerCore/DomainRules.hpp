// Domain rules: from what a user typed as a website target to the bare host names that are blocked.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "VellorinBlockerCore/Models.hpp"

namespace vellorin {

// Pure functions over text and website targets; no state, no files.
struct DomainRules {
  DomainRules() = delete;

  // Reduces one entered text, possibly a full URL, to a lower-case host name: trims white space
  // and line breaks, lower-cases (full Unicode mapping), drops a leading scheme ("https://"), cuts
  // at the first "/", "?" or "#", drops a trailing ":<digits>" port, one leading "*." and one
  // trailing ".". May return the empty text. Bytes that are not UTF-8 count as U+FFFD. Never fails.
  static std::string normalize(std::string_view text);

  // The exact host names to block: each target's normalised domain, and for targets that include
  // subdomains also its "www.", "m." and "mobile." variants. Targets that normalise to the empty
  // text add nothing. Sorted ascending by code point, without duplicates.
  static std::vector<std::string> expandedDomains(const std::vector<HelperWebsite>& websites);

  // The normalised domains of the targets that ask for every subdomain, one per resolver file.
  // Sorted ascending by code point, without duplicates or empty texts.
  static std::vector<std::string> wildcardResolverDomains(const std::vector<HelperWebsite>& websites);
};

}  // namespace vellorin
