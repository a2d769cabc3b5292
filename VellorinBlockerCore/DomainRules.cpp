// Domain normalisation with ICU: Unicode white space, full lower-case mapping and ICU regular expressions.
#include "VellorinBlockerCore/DomainRules.hpp"

#include <unicode/unorm2.h>
#include <unicode/uregex.h>
#include <unicode/ustring.h>

#include <map>
#include <memory>
#include <stdexcept>

#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {
namespace {

using UText16 = std::u16string;

// ICU only fails here when it runs out of memory or is handed a broken pattern; both are faults of
// the process, not of the text being normalised.
void check(UErrorCode status, const char* what) {
  if (U_FAILURE(status) != 0) throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

// Runs an ICU call that writes into a buffer the usual way: once without a buffer to learn the
// length, then again into a buffer of that length (and one unit more, for the terminating NUL
// that ICU adds when there is room).
template <typename Result, typename Call>
Result preflighted(const char* what, Call call) {
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = call(nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status, what);
  Result result(static_cast<size_t>(length) + 1, typename Result::value_type{});
  status = U_ZERO_ERROR;
  call(result.data(), length + 1, &status);
  check(status, what);
  result.resize(static_cast<size_t>(length));
  return result;
}

UText16 fromUtf8(std::string_view text) {
  const auto length = static_cast<int32_t>(text.size());
  return preflighted<UText16>("u_strFromUTF8WithSub", [&](UChar* buffer, int32_t capacity, UErrorCode* status) {
    int32_t written = 0;
    u_strFromUTF8WithSub(buffer, capacity, &written, text.data(), length, 0xFFFD, nullptr, status);
    return written;
  });
}

std::string toUtf8(const UText16& text) {
  const auto length = static_cast<int32_t>(text.size());
  return preflighted<std::string>("u_strToUTF8", [&](char* buffer, int32_t capacity, UErrorCode* status) {
    int32_t written = 0;
    u_strToUTF8(buffer, capacity, &written, text.data(), length, status);
    return written;
  });
}

UText16 lowercased(const UText16& text) {
  // The root locale: no per-language rules such as the Turkish dotless i.
  return preflighted<UText16>("u_strToLower", [&](UChar* buffer, int32_t capacity, UErrorCode* status) {
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
  check(status, "uregex_open");
  uregex_setText(regex.get(), text.data(), static_cast<int32_t>(text.size()), &status);
  check(status, "uregex_setText");
  const UChar empty[1] = {0};
  return preflighted<UText16>("uregex_replaceAll", [&](UChar* buffer, int32_t capacity, UErrorCode* callStatus) {
    return uregex_replaceAll(regex.get(), empty, 0, buffer, capacity, callStatus);
  });
}

UText16 composed(const UText16& text) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  check(status, "unorm2_getNFCInstance");
  return preflighted<UText16>("unorm2_normalize", [&](UChar* buffer, int32_t capacity, UErrorCode* callStatus) {
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
