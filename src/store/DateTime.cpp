// TDateTime helpers: proleptic Gregorian days since 30 December 1899.
#include "store/DateTime.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

namespace norva {
namespace {

// Days from 1 January 1970 for a civil date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = int(doy - (153 * mp + 2) / 5 + 1);
  m = int(mp < 10 ? mp + 3 : mp - 9);
  y = int(int64_t(yoe) + era * 400 + (m <= 2));
}

constexpr int64_t kEpochOffset = 25569;  // days from 30 Dec 1899 to 1 Jan 1970

std::function<TDateTime()>& Clock() {
  static std::function<TDateTime()> clock;
  return clock;
}

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
  result = double(DaysFromCivil(year, unsigned(month), unsigned(day)) + kEpochOffset);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999)
    return false;
  result = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + millisecond) / 86400000.0;
  return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second) {
  TDateTime date = 0, time = 0;
  TryEncodeDate(year, month, day, date);
  TryEncodeTime(hour, minute, second, 0, time);
  return date + time;
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second) {
  double days = std::floor(value);
  int64_t ms = std::llround((value - days) * 86400000.0);
  if (ms >= 86400000) {
    days += 1;
    ms -= 86400000;
  }
  CivilFromDays(int64_t(days) - kEpochOffset, year, month, day);
  int64_t s = ms / 1000;
  hour = int(s / 3600);
  minute = int(s / 60 % 60);
  second = int(s % 60);
}

std::string FormatDateTime(TDateTime value) {
  int y, mo, d, h, mi, s;
  DecodeDateTime(value, y, mo, d, h, mi, s);
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%02d %02d:%02d", d, mo, ((y % 100) + 100) % 100, h,
                mi);
  return text;
}

TDateTime Now() {
  if (auto& clock = Clock()) return clock();
  std::time_t t = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&t, &local);
  return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec);
}

void SetClock(std::function<TDateTime()> clock) {
  Clock() = std::move(clock);
}

}  // namespace norva
