// Tests of the domain rules: normalisation of entered texts and the derived domain lists.
#include "VellorinBlockerCore/DomainRules.hpp"

#include <gtest/gtest.h>

namespace vellorin {
namespace {

TEST(DomainRulesTest, NormalizeReducesEnteredTextsToHostNames) {
  const std::pair<std::string, std::string> cases[] = {
      {"  Git+SSH://Shop.Example:443/path?q=1#top ", "shop.example"},
      {"*.*.shop.example..", "*.shop.example."},  // one leading "*." and one trailing dot only
      {"shop.example:abc", "shop.example:abc"},   // a port needs digits
      {"//shop.example", ""}, {"   ", ""},
      {"1ab://shop.example", "1ab:"},             // a scheme starts with a letter
      {"https://https://x.example", "https:"},    // one scheme goes, then the cut at the next "/"
      {"www.Shop.Example#a/b", "www.shop.example"},
      {"\xC2\xA0\xE2\x80\x83shop.example\xE3\x80\x80\xC2\x85", "shop.example"},  // U+00A0 U+2003 U+3000 U+0085
      {"\xE2\x80\x8Bx.example", "\xE2\x80\x8Bx.example"},                       // U+200B is not white space
      {"\xC3\x84pfel.Example", "\xC3\xA4pfel.example"},                          // Ä -> ä
      {"\xC4\xB0.example", "i\xCC\x87.example"},                                 // İ, root locale: i + U+0307
      {"shop.example:\xD9\xA4\xD9\xA3", "shop.example"},                         // \d takes any decimal digit
      {"Bad\xFF.example", "bad\xEF\xBF\xBD.example"},                            // malformed UTF-8 -> U+FFFD
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(DomainRules::normalize(input), expected) << input;
}

HelperWebsite website(std::string domain, bool subdomains, bool wildcard = false) {
  return HelperWebsite{"id", std::move(domain), subdomains, wildcard};
}

TEST(DomainRulesTest, DomainListsAreNormalisedSortedAndUnique) {
  using List = std::vector<std::string>;
  EXPECT_EQ(DomainRules::expandedDomains({website("www.Shop.Example", true), website("", true), website(" ", true)}),
            (List{"m.www.shop.example", "mobile.www.shop.example", "www.shop.example", "www.www.shop.example"}));
  // Code-point order puts non-ASCII after ASCII; the wildcard flag does not expand.
  EXPECT_EQ(DomainRules::expandedDomains({website("\xC3\x84.example", false), website("https://B.example/x", false),
                                          website("b.example.", false, true)}),
            (List{"b.example", "\xC3\xA4.example"}));
  EXPECT_EQ(DomainRules::wildcardResolverDomains({website("sub.example", true), website("Wild.Example", false, true),
                                                  website("*.wild.example", true, true), website("/", false, true)}),
            (List{"wild.example"}));
  EXPECT_TRUE(DomainRules::expandedDomains({}).empty());
  EXPECT_TRUE(DomainRules::wildcardResolverDomains({}).empty());
}

}  // namespace
}  // namespace vellorin
