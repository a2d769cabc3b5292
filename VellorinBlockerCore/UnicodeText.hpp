// Unicode-aware trimming and line splitting over UTF-8 bytes, for the system files the blockers edit.
#pragma once

#include <string_view>
#include <vector>

namespace vellorin {

// Removes white space and line breaks (every code point with the Unicode White_Space property,
// tab, LF, VT, FF, CR, U+0085, U+2028 and U+2029 among them) from both ends. Bytes that are not
// well-formed UTF-8 are not white space: trimming stops at them.
std::string_view trimUnicodeWhitespace(std::string_view text);

// Removes space separators (general category Zs, such as U+0020 and U+00A0) and the tab from both
// ends; line breaks stay.
std::string_view trimUnicodeSpaces(std::string_view text);

// Splits at every line-break character taken on its own: LF, VT, FF, CR, U+0085, U+2028, U+2029.
// CR LF is two breaks with an empty line between them. Every piece is kept, so a text ending in a
// break yields a final empty piece and the empty text yields one empty piece.
std::vector<std::string_view> splitAtEveryLineBreak(std::string_view text);

// Length in bytes of the line break that begins the text (CR LF counts as one break of two bytes),
// or 0 when the text does not begin with a line break.
size_t leadingLineBreakLength(std::string_view text);

// Length in bytes of the line break that ends the text (CR LF counts as one break of two bytes), or
// 0 when the text does not end with a line break.
size_t trailingLineBreakLength(std::string_view text);

}  // namespace vellorin
