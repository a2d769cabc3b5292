// Text rules shared by the library: UTF-8 checks, trimming and splitting into lines. Each name says
// which characters it treats as white space or as a line break.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vellorin {

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// The bytes with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string replacingInvalidUtf8(std::string_view bytes);

// The text cut to at most `maximumBytes`, at the start of a UTF-8 character, with "…" after it when
// anything was cut (the mark is not counted).
std::string truncatedAtCharacter(std::string_view text, size_t maximumBytes);

// Removes the ASCII space and tab from both ends.
std::string_view trimSpacesAndTabs(std::string_view text);

// Removes space separators (general category Zs, such as U+0020 and U+00A0) and the tab from both
// ends; line breaks stay.
std::string_view trimUnicodeSpaces(std::string_view text);

// Removes every code point with the Unicode White_Space property from both ends: spaces, the tab
// and the line breaks LF, VT, FF, CR, U+0085, U+2028 and U+2029 among them. Bytes that are not
// well-formed UTF-8 are not white space: trimming stops at them.
std::string_view trimUnicodeWhitespace(std::string_view text);

// Splits at LF, CR, VT and FF, counting CR LF as one break. Empty lines are kept, and a text that
// ends with a break yields no empty line after it.
std::vector<std::string_view> splitLinesCrLfAsOne(std::string_view text);

// Splits at each line-break character taken on its own: LF, VT, FF, CR, U+0085, U+2028, U+2029.
// CR LF is two breaks with an empty line between them. Every piece is kept, so a text that ends
// with a break yields a final empty piece, and the empty text yields one empty piece.
std::vector<std::string_view> splitAtEachLineBreakCharacter(std::string_view text);

// The length in bytes of the line break (one of the characters above, CR LF counting as one break
// of two bytes) that begins the text, or 0 when it begins with none.
size_t leadingLineBreakLength(std::string_view text);

// The same for the line break that ends the text.
size_t trailingLineBreakLength(std::string_view text);

bool startsWith(std::string_view text, std::string_view prefix);
bool endsWith(std::string_view text, std::string_view suffix);
bool contains(std::string_view text, std::string_view needle);

}  // namespace vellorin
