// Tests of the domain rules: normalisation of entered texts and the derived domain lists.
#include "VellorinBlockerCore/DomainRules.hpp"

#include <gtest/gtest.h>

namespace vellorin {
namespace {

TEST(DomainRulesTest, NormalizeReducesEnteredTextsToHostNames) {
  const std::pair<std::string, std::string> cases[] = {
      {"  Git+SSH://Shop.Example:443/path?q=1#top ", "shop.example"},
      {"*.*.shop.example..", "*.shop.example."},  // one leading "*." and one trailing dot only
      {"https://https://x.example", "https:"},    // one scheme goes, then the cut at the next "/"
      {"\xC2\xA0\xE2\x80\x83shop.example\xE3\x80\x80\xC2\x85", "shop.example"},  // Unicode white space
      {"x.example \xF0\x9F\x98\x80\xE2\x80\xA9", "x.example \xF0\x9F\x98\x80"},    // back over 3 bytes, stop at 4
      {"x.example\xE0\x80\xA0", "x.example\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // an overlong space stays
      {"\xC3\x84pfel.Example", "\xC3\xA4pfel.example"},                          // Ä -> ä
      {"Bad\xFF.example", "bad\xEF\xBF\xBD.example"},                            // malformed UTF-8 -> U+FFFD
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(DomainRules::normalize(input), expected) << input;
}

TEST(DomainRulesTest, DomainListsAreNormalisedSortedAndUnique) {
  using List = std::vector<std::string>;
  EXPECT_EQ(DomainRules::expandedDomains({{"1", "www.Shop.Example", true, false}, {"2", " ", true, false},
                                          {"3", "https://www.shop.example/x", false, true}}),
            (List{"m.www.shop.example", "mobile.www.shop.example", "www.shop.example", "www.www.shop.example"}));
  EXPECT_EQ(DomainRules::wildcardResolverDomains({{"1", "sub.example", true, false}, {"2", "Wild.Example", false, true},
                                                  {"3", "*.wild.example", true, true}, {"4", "/", false, true}}),
            (List{"wild.example"}));
  // "é" composed and as "e" plus a combining accent are one name: the first spelling is kept.
  EXPECT_EQ(DomainRules::wildcardResolverDomains({{"1", "caf\xC3\xA9.example", false, true},
                                                  {"2", "cafe\xCC\x81.example", false, true}}),
            (List{"caf\xC3\xA9.example"}));
}

}  // namespace
}  // namespace vellorin
