#include "VEXTime.h"

#include <cstdio>
#include <string>

namespace
{

class SystemClock : public IVEXClock
{
public:
    uint64_t Now() override
    {
        const time_t now = time(nullptr);
        return now < 0 ? 0 : static_cast<uint64_t>(now);
    }
    bool ToLocalTime(time_t seconds, struct tm& out) override
    {
        return localtime_r(&seconds, &out) != nullptr;
    }
    bool FromLocalTime(struct tm& fields, time_t& seconds) override
    {
        seconds = mktime(&fields);
        return seconds != static_cast<time_t>(-1);
    }
};

SystemClock gSystemClock;
IVEXClock* gClock = &gSystemClock;

bool ToLocal(uint64_t count, struct tm& fields)
{
    if (count == 0 || count > static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    return VEXTime::GetClock().ToLocalTime(static_cast<time_t>(count), fields);
}

} // namespace

void VEXTime::SetClock(IVEXClock* clock)
{
    gClock = clock != nullptr ? clock : &gSystemClock;
}

IVEXClock& VEXTime::GetClock()
{
    return *gClock;
}

VEXTime VEXTime::CurrentTime()
{
    return VEXTime(GetClock().Now());
}

bool VEXTime::DateToString(VEXString& text, bool shortForm) const
{
    text.clear();
    struct tm fields = {};
    if (!ToLocal(m_Time, fields)) {
        return false;
    }
    char buffer[100];
    if (shortForm) {
        std::snprintf(buffer, sizeof(buffer), "%d/%d/%d", fields.tm_mon + 1, fields.tm_mday,
                      fields.tm_year + 1900);
    } else if (strftime(buffer, sizeof(buffer), "%A, %B %d, %Y", &fields) == 0) {
        buffer[0] = '\0';
    }
    text = VEXString(buffer);
    return true;
}

bool VEXTime::TimeToString(VEXString& text) const
{
    text.clear();
    struct tm fields = {};
    if (!ToLocal(m_Time, fields)) {
        return false;
    }
    char buffer[100];
    if (strftime(buffer, sizeof(buffer), "%I:%M%p", &fields) == 0) {
        buffer[0] = '\0';
    }
    text = VEXString(buffer);
    return true;
}

bool VEXTime::SetTime(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                      uint32_t second)
{
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    const std::string joined = std::to_string(year) + "-" + std::to_string(month) + "-" +
                               std::to_string(day) + " " + std::to_string(hour) + ":" +
                               std::to_string(minute) + ":" + std::to_string(second);
    struct tm fields = {};
    if (strptime(joined.c_str(), "%Y-%m-%d %H:%M:%S", &fields) == nullptr) {
        return false;
    }
    fields.tm_isdst = -1;
    time_t seconds = 0;
    // A moment before 1970 has no count; 1970-01-01 00:00:00 UTC itself would
    // read as "not set".
    if (!GetClock().FromLocalTime(fields, seconds) || seconds <= 0) {
        return false;
    }
    m_Time = static_cast<uint64_t>(seconds);
    return true;
}

bool VEXTime::GetTime(uint32_t& year, uint32_t& month, uint32_t& day, uint32_t& hour,
                      uint32_t& minute, uint32_t& second, uint32_t& weekday) const
{
    struct tm fields = {};
    if (!ToLocal(m_Time, fields)) {
        return false;
    }
    year = static_cast<uint32_t>(fields.tm_year + 1900);
    month = static_cast<uint32_t>(fields.tm_mon + 1);
    day = static_cast<uint32_t>(fields.tm_mday);
    hour = static_cast<uint32_t>(fields.tm_hour);
    minute = static_cast<uint32_t>(fields.tm_min);
    second = static_cast<uint32_t>(fields.tm_sec);
    weekday = static_cast<uint32_t>(fields.tm_wday + 1);
    return true;
}
