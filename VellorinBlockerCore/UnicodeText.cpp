// Unicode-aware trimming and line splitting over UTF-8 bytes, with ICU's character properties.
#include "VellorinBlockerCore/UnicodeText.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace vellorin {
namespace {

bool isWhitespaceOrLineBreak(UChar32 c) { return u_isUWhiteSpace(c) != 0; }

bool isSpaceOrTab(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

// The single-character line breaks as UTF-8 byte sequences. A text that is not UTF-8 is still
// matched by these fixed sequences, so no decoding is needed to find them.
constexpr std::string_view lineBreakSequences[] = {"\n", "\v", "\f", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};

size_t lineBreakAt(std::string_view text, size_t offset) {
  const std::string_view rest = text.substr(offset);
  for (const std::string_view sequence : lineBreakSequences) {
    if (rest.substr(0, sequence.size()) == sequence) return sequence.size();
  }
  return 0;
}

template <typename Predicate>
std::string_view trimWhere(std::string_view text, Predicate isTrimmed) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c = 0;
    U8_NEXT(bytes, next, length, c);
    if (c < 0 || !isTrimmed(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c = 0;
    U8_PREV(bytes, begin, previous, c);
    if (c < 0 || !isTrimmed(c)) break;
    end = previous;
  }
  return text.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

}  // namespace

std::string_view trimUnicodeWhitespace(std::string_view text) { return trimWhere(text, isWhitespaceOrLineBreak); }

std::string_view trimUnicodeSpaces(std::string_view text) { return trimWhere(text, isSpaceOrTab); }

std::vector<std::string_view> splitAtEveryLineBreak(std::string_view text) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t breakLength = lineBreakAt(text, i);
    if (breakLength == 0) {
      ++i;
      continue;
    }
    pieces.push_back(text.substr(start, i - start));
    i += breakLength;
    start = i;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

size_t leadingLineBreakLength(std::string_view text) {
  if (text.substr(0, 2) == "\r\n") return 2;
  return lineBreakAt(text, 0);
}

size_t trailingLineBreakLength(std::string_view text) {
  if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") return 2;
  for (const std::string_view sequence : lineBreakSequences) {
    if (text.size() >= sequence.size() && text.substr(text.size() - sequence.size()) == sequence) {
      return sequence.size();
    }
  }
  return 0;
}

}  // namespace vellorin
