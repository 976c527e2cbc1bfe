#include "platform/calendar.h"

#include <climits>
#include <ctime>

namespace velt::platform {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;

constexpr int64_t floorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

constexpr int64_t floorMod(int64_t a, int64_t b) { return a - floorDiv(a, b) * b; }

// Days since 1970-01-01 of a date with month 1..12 and any day (the day is
// added linearly). Counts in 400-year eras of 146097 days, March-based years
// so that the leap day is the last day of a year.
constexpr int64_t civilToDays(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = floorDiv(y, 400);
    const int64_t yoe = y - era * 400;                                 // [0, 399]
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;       // [0, 365], day 1 excluded
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;         // [0, 146096]
    return era * 146'097 + doe + (d - 1) - 719'468;
}

struct Date {
    int64_t year;
    int month;
    int day;
};

constexpr Date daysToCivil(int64_t z) {
    z += 719'468;
    const int64_t era = floorDiv(z, 146'097);
    const int64_t doe = z - era * 146'097;                                   // [0, 146096]
    const int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;  // [0, 399]
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);             // [0, 365]
    const int64_t mp = (5 * doy + 2) / 153;                                  // [0, 11]
    const int day = int(doy - (153 * mp + 2) / 5 + 1);
    const int month = int(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

static_assert(civilToDays(1970, 1, 1) == 0);
static_assert(civilToDays(2000, 3, 1) == 11'017);
static_assert(daysToCivil(-1).year == 1969 && daysToCivil(-1).month == 12 && daysToCivil(-1).day == 31);

// The range of seconds whose year fits an int; utcFromSeconds clamps to it.
constexpr int64_t kMinSeconds = civilToDays(INT_MIN, 1, 1) * kSecondsPerDay;
constexpr int64_t kMaxSeconds = (civilToDays(INT_MAX, 12, 31) + 1) * kSecondsPerDay - 1;

}  // namespace

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInYear(int year) { return isLeapYear(year) ? 366 : 365; }

int daysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

int dayOfYear(int year, int month, int day) {
    return int(daysFromCivil(year, month, day) - daysFromCivil(year, 1, 1) + 1);
}

// A month outside 1..12 moves the year (month 13 is January of the next).
int64_t daysFromCivil(int year, int month, int day) {
    const int64_t m0 = int64_t(month) - 1;
    return civilToDays(int64_t(year) + floorDiv(m0, 12), floorMod(m0, 12) + 1, day);
}

CivilTime utcFromSeconds(int64_t seconds) {
    if (seconds < kMinSeconds) seconds = kMinSeconds;
    if (seconds > kMaxSeconds) seconds = kMaxSeconds;
    const int64_t days = floorDiv(seconds, kSecondsPerDay);
    const int64_t rest = seconds - days * kSecondsPerDay;
    const Date date = daysToCivil(days);
    CivilTime t;
    t.year = int(date.year);
    t.month = date.month;
    t.day = date.day;
    t.hour = int(rest / 3600);
    t.minute = int(rest % 3600 / 60);
    t.second = int(rest % 60);
    t.dayOfYear = int(days - civilToDays(date.year, 1, 1) + 1);
    t.weekday = int(floorMod(days + 4, 7));
    return t;
}

int64_t secondsFromUtc(int year, int month, int day, int hour, int minute, int second) {
    return daysFromCivil(year, month, day) * kSecondsPerDay + int64_t(hour) * 3600 +
           int64_t(minute) * 60 + int64_t(second);
}

// Falls back to UTC when the time cannot be represented as local time.
CivilTime localFromSeconds(int64_t seconds) {
    const auto t = static_cast<time_t>(seconds);
    std::tm tm{};
    if (int64_t(t) != seconds || ::localtime_r(&t, &tm) == nullptr) return utcFromSeconds(seconds);
    CivilTime c;
    c.year = tm.tm_year + 1900;
    c.month = tm.tm_mon + 1;
    c.day = tm.tm_mday;
    c.hour = tm.tm_hour;
    c.minute = tm.tm_min;
    c.second = tm.tm_sec;
    c.dayOfYear = tm.tm_yday + 1;
    c.weekday = tm.tm_wday;
    return c;
}

}  // namespace velt::platform
