#include "VEXTime.h"

#include <gtest/gtest.h>

#include "FakeHost.h"

namespace
{

class VEXTimeTest : public ::testing::Test
{
protected:
    FixedClock m_Clock{1772895845}; // 2026-03-07 15:04:05
    ScopedClock m_Installed{m_Clock};
};

TEST_F(VEXTimeTest, ShortDateAndTwelveHourTime)
{
    struct Case {
        uint64_t seconds;
        const char* date;
        const char* time;
    };
    const Case cases[] = {
        {1772895845, "3/7/2026", "03:04PM"},   // no leading zeros in the date
        {1772884800, "3/7/2026", "12:00PM"},   // noon
        {1798675200, "12/31/2026", "12:00AM"}, // midnight
        {1735637400, "12/31/2024", "09:30AM"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        VEXString date("stale");
        VEXString time("stale");
        const VEXTime at(c.seconds);
        EXPECT_TRUE(at.DateToString(date, true));
        EXPECT_TRUE(at.TimeToString(time));
        EXPECT_EQ(c.date, date.GetUTF8String());
        EXPECT_EQ(c.time, time.GetUTF8String());
    }
}

// The last days of December belong to the next ISO week-year; the long date
// must still show the calendar year.
TEST_F(VEXTimeTest, LongDateShowsCalendarYear)
{
    VEXString date;
    EXPECT_TRUE(VEXTime(1735637400).DateToString(date, false));
    EXPECT_EQ("Tuesday, December 31, 2024", date.GetUTF8String());
}

TEST_F(VEXTimeTest, UnsetTimeFailsWithEmptyText)
{
    const VEXTime unset(0);
    VEXString date("stale");
    VEXString time("stale");
    EXPECT_FALSE(unset.DateToString(date, true));
    EXPECT_FALSE(unset.DateToString(date, false));
    EXPECT_FALSE(unset.TimeToString(time));
    EXPECT_TRUE(date.empty());
    EXPECT_TRUE(time.empty());
    EXPECT_FALSE(unset.IsValid());
    uint32_t y, mo, d, h, mi, s, wd;
    EXPECT_FALSE(unset.GetTime(y, mo, d, h, mi, s, wd));
}

TEST_F(VEXTimeTest, CurrentTimeReadsTheClock)
{
    EXPECT_EQ(1772895845u, VEXTime::CurrentTime().GetTime());
    m_Clock.m_Now = 42;
    EXPECT_EQ(42u, VEXTime::CurrentTime().GetTime());
}

TEST_F(VEXTimeTest, SetTimeValidatesFields)
{
    struct Case {
        uint32_t y, mo, d, h, mi, s;
        bool ok;
    };
    const Case cases[] = {
        {2026, 3, 7, 15, 4, 5, true},
        {1600, 1, 1, 0, 0, 0, false},
        {2026, 0, 1, 0, 0, 0, false},
        {2026, 13, 1, 0, 0, 0, false},
        {2026, 1, 0, 0, 0, 0, false},
        {2026, 1, 32, 0, 0, 0, false},
        {2026, 1, 1, 24, 0, 0, false},
        {2026, 1, 1, 0, 60, 0, false},
        {2026, 1, 1, 0, 0, 60, false},
        // Valid fields, but before the count can start.
        {1601, 1, 1, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.y << "-" << c.mo << "-" << c.d << " " << c.h << ":"
                                        << c.mi << ":" << c.s);
        VEXTime t(7);
        EXPECT_EQ(c.ok, t.SetTime(c.y, c.mo, c.d, c.h, c.mi, c.s));
        if (!c.ok) {
            EXPECT_EQ(7u, t.GetTime()); // unchanged
        }
    }
}

TEST_F(VEXTimeTest, SetTimeAndGetTimeAgree)
{
    VEXTime t;
    ASSERT_TRUE(t.SetTime(2026, 3, 8, 23, 59, 59));
    EXPECT_EQ(1773014399u, t.GetTime());
    uint32_t y, mo, d, h, mi, s, wd;
    ASSERT_TRUE(t.GetTime(y, mo, d, h, mi, s, wd));
    EXPECT_EQ(2026u, y);
    EXPECT_EQ(3u, mo);
    EXPECT_EQ(8u, d);
    EXPECT_EQ(23u, h);
    EXPECT_EQ(59u, mi);
    EXPECT_EQ(59u, s);
    EXPECT_EQ(1u, wd); // Sunday

    // Day 31 of February rolls over, as the C library's conversion does.
    ASSERT_TRUE(t.SetTime(2026, 2, 31, 0, 0, 0));
    EXPECT_EQ(1772496000u, t.GetTime()); // 2026-03-03
}

TEST_F(VEXTimeTest, ComparesCounts)
{
    const VEXTime a(10), b(20), a2(10);
    EXPECT_TRUE(a == a2);
    EXPECT_TRUE(a.Equals(a2));
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b > a);
    EXPECT_FALSE(a > b);
}

} // namespace
