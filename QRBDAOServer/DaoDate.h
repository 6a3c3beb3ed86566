// Date values as the interface carries them (VT_DATE: days since
// 1899-12-30, the fraction being the time of day) and as the database keeps
// them ("YYYY-MM-DD HH:MM:SS[.mmm]", the form SQLite's own date functions
// read).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace daodate {

// Day numbers relative to 1970-01-01 in the proleptic Gregorian calendar.
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

inline void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

// Day 0 of the variant date.
constexpr int64_t kOleEpochDays = DaysFromCivil(1899, 12, 30);

// The range the variant date allows: 100-01-01 to 9999-12-31.
constexpr double kOleDateMin = -657434.0;
constexpr double kOleDateMax = 2958466.0;  // exclusive

inline double OleDateFromParts(int year, int month, int day, int hour, int minute, int second,
                               int milliseconds = 0) {
  const double days = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month),
                                                         static_cast<unsigned>(day)) -
                                          kOleEpochDays);
  const double time =
      ((hour * 3600.0 + minute * 60.0 + second) * 1000.0 + milliseconds) / 86400000.0;
  // Before day 0 the fraction still counts forward from the day's start.
  return days >= 0 ? days + time : days - time;
}

// The database text of a variant date, to the millisecond; false when the
// value lies outside the variant date's range.
inline bool OleDateToText(double value, std::string& text) {
  if (!(value >= kOleDateMin && value < kOleDateMax)) return false;
  const double whole = std::trunc(value);
  int64_t day = static_cast<int64_t>(whole);
  int64_t ms = std::llround(std::fabs(value - whole) * 86400000.0);
  if (ms >= 86400000) {
    ms -= 86400000;
    ++day;
  }
  int64_t y;
  unsigned m, d;
  CivilFromDays(day + kOleEpochDays, y, m, d);
  const int hh = static_cast<int>(ms / 3600000), mi = static_cast<int>(ms / 60000 % 60),
            ss = static_cast<int>(ms / 1000 % 60), mmm = static_cast<int>(ms % 1000);
  char buffer[40];
  if (mmm)
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d:%02d.%03d",
                  static_cast<int>(y), m, d, hh, mi, ss, mmm);
  else
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(y),
                  m, d, hh, mi, ss);
  text = buffer;
  return true;
}

}  // namespace daodate
