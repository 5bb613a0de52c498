#include "SystemCalls.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Shell.h"

namespace
{

class CRealSystemCalls : public ISystemCalls
{
public:
    int System(const std::string& command) override { return shell::Run(command); }
    ssize_t ReadLink(const char* path, char* buf, size_t size) override
    {
        return ::readlink(path, buf, size);
    }
    char* GetCwd(char* buf, size_t size) override { return ::getcwd(buf, size); }
    int ChDir(const char* dir) override { return ::chdir(dir); }
    int Uname(struct utsname* name) override { return ::uname(name); }
    void SleepSeconds(unsigned int seconds) override { ::sleep(seconds); }
    bool CanOpenForReading(const std::string& path) override
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
    bool ReadFirstLine(const std::string& path, char* buf, size_t size) override
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
    void* DlOpen(const char* name, int flags) override { return ::dlopen(name, flags); }
    void* DlSym(void* handle, const char* symbol) override { return ::dlsym(handle, symbol); }
    int DlClose(void* handle) override { return ::dlclose(handle); }
};

} // namespace

ISystemCalls& GetRealSystemCalls()
{
    static CRealSystemCalls real;
    return real;
}
