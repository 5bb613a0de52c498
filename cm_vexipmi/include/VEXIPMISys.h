#pragma once

#include <cstdint>
#include <memory>

#include "VEXShellRunner.h"

// The operating-system calls the IPMI library makes: the device's system
// calls, the shell and the sleeps. Tests put a fake behind it so every retry,
// timeout and fallback runs in-process and at once.
// Calls that fail return -1 and leave the error number in errno.
class IVEXIPMISys : public IVEXShellRunner
{
public:
    virtual ~IVEXIPMISys() = default;
    // open(2).
    virtual int Open(const char* path, int flags) = 0;
    // ioctl(2) with a pointer argument.
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
    // Waits until fd is readable: > 0 readable, 0 timed out, -1 error.
    virtual int WaitReadable(int fd, long seconds, long microseconds) = 0;
    // close(2).
    virtual int Close(int fd) = 0;
    virtual void SleepMs(uint64_t milliseconds) = 0;
};

// Forwards to the real system calls.
class RealVEXIPMISys : public IVEXIPMISys
{
public:
    int Open(const char* path, int flags) override;
    int Ioctl(int fd, unsigned long request, void* arg) override;
    int WaitReadable(int fd, long seconds, long microseconds) override;
    int Close(int fd) override;
    int RunShell(const std::string& command) override;
    void SleepMs(uint64_t milliseconds) override;
};

// The calls behind the library's own entry points (its front and the
// processor factory), which are reached without a constructor of ours.
std::shared_ptr<IVEXIPMISys> VEXIPMISys();
// Installs `sys` there and returns the previous one; nullptr restores the
// real calls.
std::shared_ptr<IVEXIPMISys> SetVEXIPMISeams(std::shared_ptr<IVEXIPMISys> sys);

// Sleeps with nanosleep: whole seconds plus the remainder in nanoseconds.
void sleep_in_ms(uint64_t milliseconds);
