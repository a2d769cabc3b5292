// Domain normalisation with ICU: Unicode white space, full lower-case mapping and ICU regular expressions.
#include "VellorinBlockerCore/DomainRules.hpp"

#include <unicode/unorm2.h>
#include <unicode/uregex.h>
#include <unicode/ustring.h>

#include <map>
#include <memory>
#include <stdexcept>

#include "VellorinBlockerCore/IcuCalls.hpp"
#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {
namespace {

using UText16 = std::u16string;

UText16 fromUtf8(std::string_view text) {
  const auto length = static_cast<int32_t>(text.size());
  return preflightedIcuCall<UText16>("u_strFromUTF8WithSub", [&](UChar* buffer, int32_t capacity, UErrorCode* status) {
    int32_t written = 0;
    u_strFromUTF8WithSub(buffer, capacity, &written, text.data(), length, 0xFFFD, nullptr, status);
    return written;
  });
}

std::string toUtf8(const UText16& text) {
  const auto length = static_cast<int32_t>(text.size());
  return preflightedIcuCall<std::string>("u_strToUTF8", [&](char* buffer, int32_t capacity, UErrorCode* status) {
    int32_t written = 0;
    u_strToUTF8(buffer, capacity, &written, text.data(), length, status);
    return written;
  });
}

UText16 lowercased(const UText16& text) {
  // The root locale: no per-language rules such as the Turkish dotless i.
  return preflightedIcuCall<UText16>("u_strToLower", [&](UChar* buffer, int32_t capacity, UErrorCode* status) {
    return u_strToLower(buffer, capacity, text.data(), static_cast<int32_t>(text.size()), "", status);
  });
}

struct RegexCloser {
  void operator()(URegularExpression* regex) const { uregex_close(regex); }
};

// Deletes every match of the ICU pattern (no flags) from the text.
UText16 deletingMatches(const UText16& text, const char16_t* pattern) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<URegularExpression, RegexCloser> regex(uregex_open(pattern, -1, 0, nullptr, &status));
  checkIcu(status, "uregex_open");
  uregex_setText(regex.get(), text.data(), static_cast<int32_t>(text.size()), &status);
  checkIcu(status, "uregex_setText");
  const UChar empty[1] = {0};
  return preflightedIcuCall<UText16>("uregex_replaceAll", [&](UChar* buffer, int32_t capacity, UErrorCode* callStatus) {
    return uregex_replaceAll(regex.get(), empty, 0, buffer, capacity, callStatus);
  });
}

UText16 composed(const UText16& text) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  checkIcu(status, "unorm2_getNFCInstance");
  return preflightedIcuCall<UText16>("unorm2_normalize", [&](UChar* buffer, int32_t capacity, UErrorCode* callStatus) {
    return unorm2_normalize(nfc, text.data(), static_cast<int32_t>(text.size()), buffer, capacity, callStatus);
  });
}

// A set of host names that compare as Unicode text does: canonically equivalent spellings are one
// member (the first spelling seen is kept), ordered by the code points of their composed form.
// UTF-8 bytes order like code points, so the composed form's bytes serve as the key.
class HostNameSet {
 public:
  void insert(const std::string& name) { members_.try_emplace(toUtf8(composed(fromUtf8(name))), name); }
  std::vector<std::string> sorted() const {
    std::vector<std::string> names;
    for (const auto& member : members_) names.push_back(member.second);
    return names;
  }

 private:
  std::map<std::string, std::string> members_;
};

}  // namespace

std::string DomainRules::normalize(std::string_view text) {
  // Bytes that are not UTF-8 become U+FFFD, which is not white space, so trimming the bytes first
  // gives the same result as trimming the decoded text.
  UText16 host = lowercased(fromUtf8(trimUnicodeWhitespace(text)));
  host = deletingMatches(host, u"^[a-z][a-z0-9+.-]*://");
  if (const auto cut = host.find_first_of(u"/?#"); cut != UText16::npos) host.resize(cut);
  host = deletingMatches(host, u":\\d+$");
  host = deletingMatches(host, u"^\\*\\.");
  host = deletingMatches(host, u"\\.$");
  return toUtf8(host);
}

std::vector<std::string> DomainRules::expandedDomains(const std::vector<HelperWebsite>& websites) {
  HostNameSet domains;
  for (const auto& website : websites) {
    const std::string domain = normalize(website.domain);
    if (domain.empty()) continue;
    domains.insert(domain);
    if (website.includeSubdomains) {
      domains.insert("www." + domain);
      domains.insert("m." + domain);
      domains.insert("mobile." + domain);
    }
  }
  return domains.sorted();
}

std::vector<std::string> DomainRules::wildcardResolverDomains(const std::vector<HelperWebsite>& websites) {
  HostNameSet domains;
  for (const auto& website : websites) {
    if (!website.includeWildcardSubdomains) continue;
    if (const std::string domain = normalize(website.domain); !domain.empty()) domains.insert(domain);
  }
  return domains.sorted();
}

}  // namespace vellorin
