// Small text helpers shared by the library: UTF-8 checks, trimming and line splitting.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellorin {

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// The bytes with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string replacingInvalidUtf8(std::string_view bytes);

// Removes spaces and tabs from both ends.
std::string_view trimSpacesAndTabs(std::string_view text);

// Removes ASCII white space and line breaks (space, tab, LF, VT, FF, CR) from both ends.
std::string_view trimAsciiWhitespace(std::string_view text);

// Splits at every LF, CR, VT and FF; CR LF counts as one break. Empty lines are kept, and a text
// that ends with a break does not yield an extra empty line.
std::vector<std::string_view> splitLines(std::string_view text);

bool startsWith(std::string_view text, std::string_view prefix);
bool endsWith(std::string_view text, std::string_view suffix);
bool contains(std::string_view text, std::string_view needle);

}  // namespace vellorin
