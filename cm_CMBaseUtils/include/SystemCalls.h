#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "VEXShellRunner.h"

// The operating-system calls the Linux platform implementation makes on
// things outside the caller's own paths: the shell, the executable link, the
// working directory, the kernel name, the clock, the loader and fixed system
// files. Tests replace it so that no test runs modprobe, sleeps, or reads the
// host's /proc, /etc or /opt.
class ISystemCalls : public IVEXShellRunner
{
public:
    virtual ~ISystemCalls() = default;

    // readlink(2): bytes placed in buf (not terminated), or -1.
    virtual ssize_t ReadLink(const char* path, char* buf, size_t size) = 0;
    // getcwd(3): buf, or nullptr (for instance when size is too small).
    virtual char* GetCwd(char* buf, size_t size) = 0;
    // chdir(2).
    virtual int ChDir(const char* dir) = 0;
    // uname(2)'s system name; false when the call fails.
    virtual bool KernelName(std::string& sysname) = 0;
    virtual void SleepSeconds(unsigned int seconds) = 0;
    // Whether path can be opened for reading.
    virtual bool CanOpenForReading(const std::string& path) = 0;
    // First line of a text file (fgets semantics: at most size - 1 bytes,
    // always terminated; empty for an empty file). False when the file cannot
    // be opened.
    virtual bool ReadFirstLine(const std::string& path, char* buf, size_t size) = 0;
    virtual void* DlOpen(const char* name, int flags) = 0;
    virtual void* DlSym(void* handle, const char* symbol) = 0;
    virtual int DlClose(void* handle) = 0;
};

// The real calls.
class RealSystemCalls : public ISystemCalls
{
public:
    int RunShell(const std::string& command) override;
    ssize_t ReadLink(const char* path, char* buf, size_t size) override;
    char* GetCwd(char* buf, size_t size) override;
    int ChDir(const char* dir) override;
    bool KernelName(std::string& sysname) override;
    void SleepSeconds(unsigned int seconds) override;
    bool CanOpenForReading(const std::string& path) override;
    bool ReadFirstLine(const std::string& path, char* buf, size_t size) override;
    void* DlOpen(const char* name, int flags) override;
    void* DlSym(void* handle, const char* symbol) override;
    int DlClose(void* handle) override;
};
