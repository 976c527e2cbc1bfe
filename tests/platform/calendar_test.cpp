#include "platform/calendar.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace velt::platform {
namespace {

// Independent of the code under test: the leap rule written out and a walk
// one day at a time.
bool leap(int y) { return y % 400 == 0 || (y % 4 == 0 && y % 100 != 0); }
int monthLength(int y, int m) {
    static const int kLen[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kLen[m - 1];
}

struct WalkDate {
    int y = 1970, m = 1, d = 1, doy = 1;
    void forward() {
        ++doy;
        if (++d > monthLength(y, m)) {
            d = 1;
            if (++m > 12) {
                m = 1;
                ++y;
                doy = 1;
            }
        }
    }
    void backward() {
        --doy;
        if (--d < 1) {
            if (--m < 1) {
                m = 12;
                --y;
                doy = leap(y) ? 366 : 365;
            }
            d = monthLength(y, m);
        }
    }
};

void expectDay(const WalkDate& w, int64_t days) {
    ASSERT_EQ(daysFromCivil(w.y, w.m, w.d), days) << w.y << "-" << w.m << "-" << w.d;
    const int64_t secondOfDay = (days * 7919) % 86400;  // varies the time of day
    const int64_t s = days * 86400 + (secondOfDay < 0 ? secondOfDay + 86400 : secondOfDay);
    const CivilTime t = utcFromSeconds(s);
    ASSERT_EQ(t.year, w.y);
    ASSERT_EQ(t.month, w.m);
    ASSERT_EQ(t.day, w.d);
    ASSERT_EQ(t.dayOfYear, w.doy);
    ASSERT_EQ(t.weekday, int(((days + 4) % 7 + 7) % 7));
    ASSERT_EQ(secondsFromUtc(t.year, t.month, t.day, t.hour, t.minute, t.second), s);
    ASSERT_EQ(dayOfYear(w.y, w.m, w.d), w.doy);
}

TEST(CalendarTest, LeapYearsAndMonthLengths) {
    EXPECT_TRUE(isLeapYear(2000));
    EXPECT_TRUE(isLeapYear(2024));
    EXPECT_TRUE(isLeapYear(-4));
    EXPECT_TRUE(isLeapYear(0));
    EXPECT_FALSE(isLeapYear(1900));
    EXPECT_FALSE(isLeapYear(2100));
    EXPECT_FALSE(isLeapYear(2023));
    EXPECT_FALSE(isLeapYear(-1));
    EXPECT_EQ(daysInYear(2000), 366);
    EXPECT_EQ(daysInYear(2100), 365);
    EXPECT_EQ(daysInMonth(2000, 2), 29);
    EXPECT_EQ(daysInMonth(1900, 2), 28);
    EXPECT_EQ(daysInMonth(2100, 2), 28);
    EXPECT_EQ(daysInMonth(2023, 4), 30);
    EXPECT_EQ(daysInMonth(2023, 0), 0);
    EXPECT_EQ(daysInMonth(2023, 13), 0);
}

TEST(CalendarTest, DayOfYear) {
    EXPECT_EQ(dayOfYear(2023, 1, 1), 1);
    EXPECT_EQ(dayOfYear(2000, 3, 1), 61);
    EXPECT_EQ(dayOfYear(2100, 3, 1), 60);
    EXPECT_EQ(dayOfYear(2000, 12, 31), 366);
    EXPECT_EQ(dayOfYear(1900, 12, 31), 365);
}

TEST(CalendarTest, KnownInstants) {
    EXPECT_EQ(secondsFromUtc(1970, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(secondsFromUtc(2000, 1, 1, 0, 0, 0), 946'684'800);
    EXPECT_EQ(secondsFromUtc(2038, 1, 19, 3, 14, 7), 2'147'483'647);
    EXPECT_EQ(secondsFromUtc(1900, 1, 1, 0, 0, 0), -2'208'988'800);
    EXPECT_EQ(secondsFromUtc(1969, 12, 31, 23, 59, 59), -1);

    const CivilTime t = utcFromSeconds(-1);
    EXPECT_EQ(t.year, 1969);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.day, 31);
    EXPECT_EQ(t.hour, 23);
    EXPECT_EQ(t.minute, 59);
    EXPECT_EQ(t.second, 59);
    EXPECT_EQ(t.dayOfYear, 365);
    EXPECT_EQ(t.weekday, 3);  // a Wednesday

    const CivilTime leapDay = utcFromSeconds(951'782'400 + 3723);  // 2000-02-29 01:02:03
    EXPECT_EQ(leapDay.month, 2);
    EXPECT_EQ(leapDay.day, 29);
    EXPECT_EQ(leapDay.hour, 1);
    EXPECT_EQ(leapDay.minute, 2);
    EXPECT_EQ(leapDay.second, 3);
    EXPECT_EQ(leapDay.dayOfYear, 60);
    EXPECT_EQ(leapDay.weekday, 2);  // a Tuesday
}

TEST(CalendarTest, OutOfRangeFieldsAreNormalised) {
    EXPECT_EQ(secondsFromUtc(2023, 12, 31, 23, 59, 60), secondsFromUtc(2024, 1, 1, 0, 0, 0));
    EXPECT_EQ(secondsFromUtc(2023, 13, 1, 0, 0, 0), secondsFromUtc(2024, 1, 1, 0, 0, 0));
    EXPECT_EQ(secondsFromUtc(2024, 0, 1, 0, 0, 0), secondsFromUtc(2023, 12, 1, 0, 0, 0));
    EXPECT_EQ(secondsFromUtc(2024, -11, 1, 0, 0, 0), secondsFromUtc(2023, 1, 1, 0, 0, 0));
    EXPECT_EQ(secondsFromUtc(2024, 3, 0, 0, 0, 0), secondsFromUtc(2024, 2, 29, 0, 0, 0));
    EXPECT_EQ(secondsFromUtc(2024, 1, 1, -1, 0, 0), secondsFromUtc(2023, 12, 31, 23, 0, 0));
    EXPECT_EQ(dayOfYear(2023, 13, 1), 366);  // 1 January 2024, counted from 2023
}

TEST(CalendarTest, MatchesDayByDayWalkFrom1500To2500) {
    WalkDate w;
    for (int64_t days = 0; w.y < 2500; ++days, w.forward()) expectDay(w, days);
    w = WalkDate{};
    for (int64_t days = 0; w.y >= 1500; --days, w.backward()) expectDay(w, days);
}

TEST(CalendarTest, ExtremeSecondsAreClampedToRepresentableYears) {
    const CivilTime hi = utcFromSeconds(INT64_MAX);
    EXPECT_EQ(hi.year, INT_MAX);
    EXPECT_EQ(hi.month, 12);
    EXPECT_EQ(hi.day, 31);
    EXPECT_EQ(hi.second, 59);
    const CivilTime lo = utcFromSeconds(INT64_MIN);
    EXPECT_EQ(lo.year, INT_MIN);
    EXPECT_EQ(lo.month, 1);
    EXPECT_EQ(lo.day, 1);
    EXPECT_EQ(lo.hour, 0);
    EXPECT_EQ(secondsFromUtc(INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN) < 0, true);
}

// Sets TZ for one test and restores it afterwards.
class ScopedTimeZone final {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_) ::setenv("TZ", old_->c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};

TEST(CalendarTest, LocalTimeFollowsTheProcessZone) {
    const int64_t s = secondsFromUtc(2001, 1, 1, 2, 30, 0);
    {
        ScopedTimeZone tz("UTC0");
        const CivilTime t = localFromSeconds(s);
        EXPECT_EQ(t.hour, 2);
        EXPECT_EQ(t.day, 1);
    }
    {
        ScopedTimeZone tz("EST5");  // five hours west of UTC, no summer time
        const CivilTime t = localFromSeconds(s);
        EXPECT_EQ(t.year, 2000);
        EXPECT_EQ(t.month, 12);
        EXPECT_EQ(t.day, 31);
        EXPECT_EQ(t.hour, 21);
        EXPECT_EQ(t.minute, 30);
        EXPECT_EQ(t.dayOfYear, 366);
        EXPECT_EQ(t.weekday, 0);  // Sunday
        // UTC arithmetic does not depend on the zone.
        EXPECT_EQ(utcFromSeconds(s).hour, 2);
    }
}

}  // namespace
}  // namespace velt::platform
