#pragma once

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "VEXEnvironmentInfo.h"
#include "VEXFile.h"
#include "VEXTime.h"

// A clock that stands still and treats local time as UTC, so texts do not
// depend on the machine's zone.
class FixedClock : public IVEXClock
{
public:
    explicit FixedClock(uint64_t now = 0) : m_Now(now) {}
    uint64_t Now() override { return m_Now; }
    bool ToLocalTime(time_t seconds, struct tm& out) override
    {
        return gmtime_r(&seconds, &out) != nullptr;
    }
    bool FromLocalTime(struct tm& fields, time_t& seconds) override
    {
        seconds = timegm(&fields);
        return seconds != static_cast<time_t>(-1);
    }
    uint64_t m_Now;
};

// Installs a clock for one test and puts the system clock back afterwards.
class ScopedClock
{
public:
    explicit ScopedClock(IVEXClock& clock) { VEXTime::SetClock(&clock); }
    ~ScopedClock() { VEXTime::SetClock(nullptr); }
};

struct FakeEntry {
    bool isDirectory = false;
    uint64_t size = 0;
};

class FakeFileSystem : public IVEXFileSystem
{
public:
    bool Stat(const std::string& path, bool& isDirectory, uint64_t& size) override
    {
        calls.push_back("stat " + path);
        auto it = entries.find(path);
        if (it == entries.end()) {
            return false;
        }
        isDirectory = it->second.isDirectory;
        size = it->second.size;
        return true;
    }
    bool Remove(const std::string& path) override
    {
        calls.push_back("remove " + path);
        return entries.erase(path) == 1;
    }
    bool MakeDirectory(const std::string& path) override
    {
        calls.push_back("mkdir " + path);
        return entries.emplace(path, FakeEntry{true, 0}).second;
    }
    bool CreateFile(const std::string& path) override
    {
        calls.push_back("create " + path);
        entries.emplace(path, FakeEntry{});
        return true;
    }
    int RunShell(const std::string& command) override
    {
        calls.push_back("shell " + command);
        return shellStatus;
    }

    std::map<std::string, FakeEntry> entries;
    std::vector<std::string> calls;
    int shellStatus = 0;
};

class ScopedFileSystem
{
public:
    explicit ScopedFileSystem(IVEXFileSystem& fs) { VEXFile::SetFileSystem(&fs); }
    ~ScopedFileSystem() { VEXFile::SetFileSystem(nullptr); }
};

class FakeOSProbe : public IVEXOSProbe
{
public:
    bool ReadFirstLine(const std::string& path, std::string& line) override
    {
        auto it = files.find(path);
        if (it == files.end()) {
            return false;
        }
        line = it->second;
        return true;
    }
    bool KernelName(std::string& sysname) override
    {
        if (!unameWorks) {
            return false;
        }
        sysname = kernelName;
        return true;
    }

    std::map<std::string, std::string> files;
    std::string kernelName = "Linux";
    bool unameWorks = true;
};
