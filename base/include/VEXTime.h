#pragma once

#include <cstdint>
#include <ctime>

#include "VEXString.h"

// The system clock and the local-time conversions, so tests run at a fixed
// time in a fixed zone.
class IVEXClock
{
public:
    virtual ~IVEXClock() = default;
    // Seconds since 1970-01-01 00:00:00 UTC.
    virtual uint64_t Now() = 0;
    // localtime_r
    virtual bool ToLocalTime(time_t seconds, struct tm& out) = 0;
    // mktime; false when the time cannot be represented.
    virtual bool FromLocalTime(struct tm& fields, time_t& seconds) = 0;
};

// Seconds since 1970-01-01 00:00:00 UTC; 0 means not set and makes every
// query fail.
class VEXTime
{
public:
    VEXTime() = default;
    explicit VEXTime(uint64_t seconds) : m_Time(seconds) {}
    virtual ~VEXTime() = default;

    static VEXTime CurrentTime();

    // Short form: month/day/year, no leading zeros ("3/7/2026"); long form:
    // "%A, %B %d, %Y". Both clear `text` first; false and empty for 0.
    bool DateToString(VEXString& text, bool shortForm) const;
    // "%I:%M%p" ("03:04PM"); false and empty for 0.
    bool TimeToString(VEXString& text) const;

    uint64_t GetTime() const { return m_Time; }
    // Local time. False (nothing stored) for a year below 1601, a month
    // outside 1..12, a day outside 1..31, hour > 23, minute or second > 59,
    // or a moment before 1970 that the count cannot hold.
    bool SetTime(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                 uint32_t second);
    // Local time; weekday 1 = Sunday. False for 0.
    bool GetTime(uint32_t& year, uint32_t& month, uint32_t& day, uint32_t& hour, uint32_t& minute,
                 uint32_t& second, uint32_t& weekday) const;
    bool IsValid() const { return m_Time != 0; }

    bool Equals(const VEXTime& other) const { return m_Time == other.m_Time; }
    bool operator==(const VEXTime& other) const { return m_Time == other.m_Time; }
    bool operator!=(const VEXTime& other) const { return m_Time != other.m_Time; }
    bool operator<(const VEXTime& other) const { return m_Time < other.m_Time; }
    bool operator>(const VEXTime& other) const { return m_Time > other.m_Time; }

    // Process-wide clock; nullptr restores the system clock. Not owned.
    static void SetClock(IVEXClock* clock);
    static IVEXClock& GetClock();

private:
    uint64_t m_Time = 0;
};
