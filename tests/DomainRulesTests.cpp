// Tests of the domain rules: normalisation of entered texts and the derived domain lists.
#include "VellorinBlockerCore/DomainRules.hpp"

#include <gtest/gtest.h>

namespace vellorin {
namespace {

struct NormalizeCase {
  const char* input;
  const char* expected;
};

TEST(DomainRulesTest, NormalizeReducesEnteredTextsToHostNames) {
  const NormalizeCase cases[] = {
      {"  Git+SSH://Shop.Example:443/path?q=1#top ", "shop.example"},
      {"*.shop.example.", "shop.example"},
      {"*.*.shop.example..", "*.shop.example."},   // one leading pair and one trailing dot only
      {"shop.example:abc", "shop.example:abc"},    // a port needs digits
      {"shop.example:", "shop.example:"},
      {"//shop.example", ""},
      {"/", ""},
      {"   ", ""},
      {"", ""},
      {"1ab://shop.example", "1ab:"},              // a scheme starts with a letter
      {"www.Shop.Example", "www.shop.example"},    // "www." is part of the host
      {"shop.example?x=/y", "shop.example"},
      {"shop.example#a/b", "shop.example"},
      {"HTTPS://A.EXAMPLE", "a.example"},          // lower-cased before the scheme is removed
      {"\t\n\r shop.example \n", "shop.example"},
      {"shop.example:8080:9", "shop.example:8080"},
      {"https://https://x.example", "https:"},     // one scheme goes, then the cut at the next "/"
      // Unicode: white space beyond ASCII, full lower-case mapping, Unicode digits in a port.
      {"\xC2\xA0\xE2\x80\x83shop.example\xE3\x80\x80", "shop.example"},  // U+00A0, U+2003, U+3000
      {"\xE2\x80\xA8shop.example\xC2\x85", "shop.example"},              // U+2028, U+0085
      {"\xC3\x84pfel.Example", "\xC3\xA4pfel.example"},                  // Ä -> ä
      {"STRA\xE1\xBA\x9E" "E.example", "stra\xC3\x9F" "e.example"},        // capital sharp s -> ß
      {"\xC4\xB0stanbul.example", "i\xCC\x87stanbul.example"},           // İ -> i + combining dot (root locale)
      {"shop.example:\xD9\xA4\xD9\xA3", "shop.example"},                 // Arabic-Indic digits match \d
      {"\xE2\x80\x8Bshop.example", "\xE2\x80\x8Bshop.example"},          // U+200B is not white space
  };
  for (const auto& testCase : cases) {
    EXPECT_EQ(DomainRules::normalize(testCase.input), testCase.expected) << "input: " << testCase.input;
  }
}

TEST(DomainRulesTest, NormalizeReplacesMalformedUtf8) {
  EXPECT_EQ(DomainRules::normalize("Bad\xFF.example"), "bad\xEF\xBF\xBD.example");
}

HelperWebsite website(std::string domain, bool subdomains, bool wildcard = false) {
  return HelperWebsite{"id", std::move(domain), subdomains, wildcard};
}

TEST(DomainRulesTest, ExpandedDomainsAddsVariantsSortsAndDeduplicates) {
  using List = std::vector<std::string>;
  EXPECT_EQ(DomainRules::expandedDomains({website("Shop.Example", true)}),
            (List{"m.shop.example", "mobile.shop.example", "shop.example", "www.shop.example"}));
  EXPECT_EQ(DomainRules::expandedDomains({website("www.shop.example", true)}),
            (List{"m.www.shop.example", "mobile.www.shop.example", "www.shop.example", "www.www.shop.example"}));
  EXPECT_EQ(DomainRules::expandedDomains({website("b.example", false), website("https://A.example/x", false),
                                          website("B.EXAMPLE", false), website("  ", true), website("", true)}),
            (List{"a.example", "b.example"}));
  // The wildcard flag does not expand; order is by code point, so non-ASCII sorts after ASCII.
  EXPECT_EQ(DomainRules::expandedDomains({website("\xC3\x84.example", false), website("z.example", false, true)}),
            (List{"z.example", "\xC3\xA4.example"}));
  EXPECT_TRUE(DomainRules::expandedDomains({}).empty());
}

TEST(DomainRulesTest, WildcardResolverDomainsTakesOnlyWildcardTargets) {
  using List = std::vector<std::string>;
  EXPECT_EQ(DomainRules::wildcardResolverDomains({website("sub.example", true, false),
                                                  website("Wild.Example", false, true),
                                                  website("wild.example.", true, true),
                                                  website("/", false, true),
                                                  website("a.example", false, true)}),
            (List{"a.example", "wild.example"}));
  EXPECT_TRUE(DomainRules::wildcardResolverDomains({}).empty());
}

}  // namespace
}  // namespace vellorin
