// The whole-second date parser: a date it accepts is written back as the same text.
#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/DateFormatting.hpp"

using namespace vellorin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string_view text = fuzzing::text(data, size);
  if (const auto date = parseWholeSecondDate(text)) {
    fuzzing::check(formatWholeSecondDate(*date) == text, "format(parse(text)) == text");
  }
  return 0;
}
