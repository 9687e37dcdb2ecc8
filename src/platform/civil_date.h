// Calendar arithmetic for the date formats the system reads (property lists, update feeds).
#pragma once

#include <cstdint>

namespace platform {

// Days from 1970-01-01 to a proleptic Gregorian date (month 1 to 12; days past the month's end
// run on into the next, as the C library's timegm counts them).
constexpr int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

}  // namespace platform
