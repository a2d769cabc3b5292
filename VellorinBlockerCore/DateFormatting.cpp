// Whole-second and millisecond UTC date texts, built on the proleptic Gregorian calendar.
#include "VellorinBlockerCore/DateFormatting.hpp"

#include <cstdint>
#include <cstdio>

namespace vellorin {
namespace {

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

// Days since 1970-01-01 of a civil date (Howard Hinnant's algorithm; valid for every year).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

CivilDate civilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

bool isLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(int64_t year, unsigned month) {
  static constexpr unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : lengths[month - 1];
}

std::string formatDate(TimePoint time, bool withMilliseconds) {
  using namespace std::chrono;
  const auto milliseconds = floor<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const int64_t seconds = (milliseconds >= 0 ? milliseconds : milliseconds - 999) / 1000;
  const int64_t fraction = milliseconds - seconds * 1000;
  const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
  const int64_t secondOfDay = seconds - days * 86400;
  const CivilDate date = civilFromDays(days);
  // The buffer holds the longest date a 64-bit year gives, so the text is never cut.
  char buffer[64];
  if (withMilliseconds) {
    (void)std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                        static_cast<long long>(date.year), date.month, date.day,
                        static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                        static_cast<long long>(secondOfDay % 60), static_cast<long long>(fraction));
  } else {
    (void)std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                        static_cast<long long>(date.year), date.month, date.day,
                        static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                        static_cast<long long>(secondOfDay % 60));
  }
  return buffer;
}

}  // namespace

std::string formatWholeSecondDate(TimePoint time) { return formatDate(time, false); }

std::string formatMillisecondDate(TimePoint time) { return formatDate(time, true); }

std::optional<TimePoint> parseWholeSecondDate(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20) return std::nullopt;
  static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return std::nullopt;
  }
  const auto number = [&](size_t at, size_t length) {
    int value = 0;
    for (size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = number(0, 4);
  const auto month = static_cast<unsigned>(number(5, 2));
  const auto day = static_cast<unsigned>(number(8, 2));
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return std::nullopt;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const int64_t seconds =
      daysFromCivil(year, month, day) * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
  // A clock with nanosecond ticks reaches only the years 1677 to 2262; a date outside what the
  // clock can hold is rejected rather than wrapped around.
  using std::chrono::duration_cast;
  const auto limit = duration_cast<std::chrono::seconds>(TimePoint::duration::max()).count() - 1;
  if (seconds > limit || seconds < -limit) return std::nullopt;
  return TimePoint(duration_cast<TimePoint::duration>(std::chrono::seconds(seconds)));
}

}  // namespace vellorin
