#include "SystemCalls.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Shell.h"
#include "VEXEnvironmentInfo.h"

int RealSystemCalls::RunShell(const std::string& command)
{
    return shell::Run(command);
}

ssize_t RealSystemCalls::ReadLink(const char* path, char* buf, size_t size)
{
    return ::readlink(path, buf, size);
}

char* RealSystemCalls::GetCwd(char* buf, size_t size)
{
    return ::getcwd(buf, size);
}

int RealSystemCalls::ChDir(const char* dir)
{
    return ::chdir(dir);
}

bool RealSystemCalls::KernelName(std::string& sysname)
{
    return VEXKernelName(sysname);
}

void RealSystemCalls::SleepSeconds(unsigned int seconds)
{
    ::sleep(seconds);
}

bool RealSystemCalls::CanOpenForReading(const std::string& path)
{
    // Non-blocking: a FIFO put under a marker's name in the working
    // directory must not hold the program at the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool RealSystemCalls::ReadFirstLine(const std::string& path, char* buf, size_t size)
{
    if (buf == nullptr || size == 0) {
        return false;
    }
    FILE* fp = std::fopen(path.c_str(), "r");
    if (fp == nullptr) {
        return false;
    }
    if (std::fgets(buf, static_cast<int>(size), fp) == nullptr) {
        buf[0] = '\0';
    }
    std::fclose(fp);
    return true;
}

void* RealSystemCalls::DlOpen(const char* name, int flags)
{
    return ::dlopen(name, flags);
}

void* RealSystemCalls::DlSym(void* handle, const char* symbol)
{
    return ::dlsym(handle, symbol);
}

int RealSystemCalls::DlClose(void* handle)
{
    return ::dlclose(handle);
}
