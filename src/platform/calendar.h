// Calendar helpers: seconds since 1970-01-01 00:00:00 UTC to and from broken-
// down UTC time by the proleptic Gregorian calendar (own arithmetic, never
// mktime, so the process time zone cannot leak in), and local time through
// localtime_r for the few displays that want it.
#pragma once

#include <cstdint>

namespace velt::platform {

struct CivilTime {
    int year = 1970;
    int month = 1;      // 1..12
    int day = 1;        // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int dayOfYear = 1;  // 1..366
    int weekday = 4;    // 0 = Sunday; 1970-01-01 was a Thursday
};

bool isLeapYear(int year);
int daysInYear(int year);
int daysInMonth(int year, int month);
/// @brief Day of year, 1 for 1 January.
int dayOfYear(int year, int month, int day);

/// @brief Days since 1970-01-01 of a civil date (negative before 1970).
int64_t daysFromCivil(int year, int month, int day);

/// @brief Broken-down UTC time of `seconds` since 1970 (any sign).
CivilTime utcFromSeconds(int64_t seconds);

/// @brief Seconds since 1970 of a UTC civil time; fields out of range are
/// normalised arithmetically (second 60 is the next minute).
int64_t secondsFromUtc(int year, int month, int day, int hour, int minute, int second);

/// @brief Broken-down local time of `seconds` (process time zone).
CivilTime localFromSeconds(int64_t seconds);

}  // namespace velt::platform
