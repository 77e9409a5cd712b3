// TDateTime: days since 30 December 1899 as a double, with the helpers the program needs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace norva {

using TDateTime = double;

// A date-time from its parts; false when the parts do not form a valid date or time.
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result);
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0);
void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second);
// "dd.mm.yy hh:nn" (0 shows as 30.12.99 00:00).
std::string FormatDateTime(TDateTime value);

// The local time now, from the clock that is installed (the system clock unless a test set one).
TDateTime Now();
void SetClock(std::function<TDateTime()> clock);

}  // namespace norva
