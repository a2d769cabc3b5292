// UTF-8 checks, trimming and line splitting; ICU supplies the Unicode character properties.
#include "VellorinBlockerCore/Text.hpp"

#include <unicode/uchar.h>

namespace vellorin {
namespace {

// Length of the well-formed UTF-8 sequence that starts at bytes[i], or 0 when it is ill-formed.
size_t validSequenceLength(std::string_view bytes, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > bytes.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// The single-character line breaks as UTF-8 byte sequences. A text that is not UTF-8 is still
// matched by these fixed sequences, so no decoding is needed to find them.
constexpr std::string_view lineBreakSequences[] = {"\n", "\v", "\f", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};

size_t lineBreakAt(std::string_view text, size_t offset) {
  const std::string_view rest = text.substr(offset);
  for (const std::string_view sequence : lineBreakSequences) {
    if (startsWith(rest, sequence)) return sequence.size();
  }
  return 0;
}

// The code point of the well-formed sequence of `length` bytes that starts at bytes[i].
UChar32 decodedCodePoint(std::string_view bytes, size_t i, size_t length) {
  static constexpr unsigned char leadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  UChar32 c = static_cast<unsigned char>(bytes[i]) & leadBits[length];
  for (size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
  return c;
}

// Decoding is our own, not ICU's: the helper on macOS binds to the system's ICU, whose UTF-8 steps
// are internal functions rather than stable interface.
template <typename Predicate>
std::string_view trimCodePoints(std::string_view text, Predicate isTrimmed) {
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t length = validSequenceLength(text, begin);
    if (length == 0 || !isTrimmed(decodedCodePoint(text, begin, length))) break;
    begin += length;
  }
  size_t end = text.size();
  while (end > begin) {
    // The last sequence starts at the nearest byte before `end` that is not a continuation byte.
    size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const size_t length = end - start;
    if (validSequenceLength(text, start) != length || !isTrimmed(decodedCodePoint(text, start, length))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = validSequenceLength(bytes, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string replacingInvalidUtf8(std::string_view bytes) {
  std::string result;
  result.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = validSequenceLength(bytes, i);
    if (length == 0) {
      result += "\xEF\xBF\xBD";
      ++i;
    } else {
      result.append(bytes.substr(i, length));
      i += length;
    }
  }
  return result;
}

std::string truncatedAtCharacter(std::string_view text, size_t maximumBytes) {
  if (text.size() <= maximumBytes) return std::string(text);
  size_t end = maximumBytes;
  // Back to the first byte of a character: continuation bytes are 10xxxxxx.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "\xE2\x80\xA6";  // an ellipsis
}

std::string_view trimSpacesAndTabs(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string_view trimUnicodeSpaces(std::string_view text) {
  return trimCodePoints(text, [](UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; });
}

std::string_view trimUnicodeWhitespace(std::string_view text) {
  return trimCodePoints(text, [](UChar32 c) { return u_isUWhiteSpace(c) != 0; });
}

std::vector<std::string_view> splitLinesCrLfAsOne(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\n' && c != '\r' && c != '\v' && c != '\f') continue;
    lines.push_back(text.substr(start, i - start));
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string_view> splitAtEachLineBreakCharacter(std::string_view text) {
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
  if (startsWith(text, "\r\n")) return 2;
  return lineBreakAt(text, 0);
}

size_t trailingLineBreakLength(std::string_view text) {
  if (endsWith(text, "\r\n")) return 2;
  for (const std::string_view sequence : lineBreakSequences) {
    if (endsWith(text, sequence)) return sequence.size();
  }
  return 0;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool contains(std::string_view text, std::string_view needle) { return text.find(needle) != std::string_view::npos; }

}  // namespace vellorin
