// The one place that turns points in time into text and back.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vellorin {

using TimePoint = std::chrono::system_clock::time_point;

// "2025-03-01T09:30:00Z": UTC, whole seconds (any fraction is dropped), the designator "Z".
std::string formatWholeSecondDate(TimePoint time);

// "2025-03-01T09:30:00.250Z": UTC with milliseconds (any finer fraction is dropped).
std::string formatMillisecondDate(TimePoint time);

// Parses exactly the whole-second form above. Any other form, a fraction of a second or an
// offset other than "Z" included, gives nothing; so does a date the system clock cannot hold.
std::optional<TimePoint> parseWholeSecondDate(std::string_view text);

}  // namespace vellorin
