// Domain normalisation with ICU: Unicode white space, full lower-case mapping and ICU regular expressions.
#include "VellorinBlockerCore/DomainRules.hpp"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/uregex.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <map>
#include <memory>
#include <stdexcept>

namespace vellorin {
namespace {

using UText16 = std::u16string;

// ICU only fails here when it runs out of memory or is handed a broken pattern; both are faults of
// the process, not of the text being normalised.
void check(UErrorCode status, const char* what) {
  if (U_FAILURE(status)) throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

UText16 fromUtf8(std::string_view text) {
  if (text.empty()) return {};
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status, "u_strFromUTF8WithSub");
  UText16 result(static_cast<size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(result.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr,
                       &status);
  check(status, "u_strFromUTF8WithSub");
  return result;
}

std::string toUtf8(const UText16& text) {
  if (text.empty()) return {};
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status, "u_strToUTF8");
  std::string result(static_cast<size_t>(length), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8(result.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()), &status);
  check(status, "u_strToUTF8");
  return result;
}

UText16 trimmingWhitespace(const UText16& text) {
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c = 0;
    U16_NEXT(text.data(), next, length, c);
    if (!u_isUWhiteSpace(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c = 0;
    U16_PREV(text.data(), begin, previous, c);
    if (!u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return text.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

UText16 lowercased(const UText16& text) {
  if (text.empty()) return {};
  // The root locale: no per-language rules such as the Turkish dotless i.
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = u_strToLower(nullptr, 0, text.data(), static_cast<int32_t>(text.size()), "", &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status, "u_strToLower");
  UText16 result(static_cast<size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  u_strToLower(result.data(), length, text.data(), static_cast<int32_t>(text.size()), "", &status);
  check(status, "u_strToLower");
  return result;
}

struct RegexCloser {
  void operator()(URegularExpression* regex) const { uregex_close(regex); }
};

// Deletes every match of the ICU pattern (no flags) from the text.
UText16 deletingMatches(const UText16& text, const char16_t* pattern) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<URegularExpression, RegexCloser> regex(uregex_open(pattern, -1, 0, nullptr, &status));
  check(status, "uregex_open");
  uregex_setText(regex.get(), text.data(), static_cast<int32_t>(text.size()), &status);
  check(status, "uregex_setText");
  const UChar empty[1] = {0};
  const int32_t length = uregex_replaceAll(regex.get(), empty, 0, nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status, "uregex_replaceAll");
  // uregex_replaceAll NUL-terminates when there is room, so one more unit is asked for.
  UText16 result(static_cast<size_t>(length) + 1, u'\0');
  status = U_ZERO_ERROR;
  uregex_replaceAll(regex.get(), empty, 0, result.data(), length + 1, &status);
  check(status, "uregex_replaceAll");
  result.resize(static_cast<size_t>(length));
  return result;
}

UText16 composed(const UText16& text) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  check(status, "unorm2_getNFCInstance");
  const int32_t length = unorm2_normalize(nfc, text.data(), static_cast<int32_t>(text.size()), nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status, "unorm2_normalize");
  UText16 result(static_cast<size_t>(length) + 1, u'\0');
  status = U_ZERO_ERROR;
  unorm2_normalize(nfc, text.data(), static_cast<int32_t>(text.size()), result.data(), length + 1, &status);
  check(status, "unorm2_normalize");
  result.resize(static_cast<size_t>(length));
  return result;
}

// A set of host names that compare as Unicode text does: canonically equivalent spellings are one
// member (the first spelling seen is kept), ordered by the code points of their composed form.
// UTF-8 bytes order like code points, so the composed form's bytes serve as the key.
class HostNameSet {
 public:
  void insert(std::string name) { members_.try_emplace(toUtf8(composed(fromUtf8(name))), std::move(name)); }
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
  UText16 host = lowercased(trimmingWhitespace(fromUtf8(text)));
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
    if (std::string domain = normalize(website.domain); !domain.empty()) domains.insert(std::move(domain));
  }
  return domains.sorted();
}

}  // namespace vellorin
