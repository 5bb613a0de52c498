#include "ScalSeams.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>

#include "Interruption.h"
#include "PlatformLayer.h"
#include "VEXIPMIInterfaceImpl.h"

namespace
{

class RealIPMILibrary : public IScalIPMILibrary
{
public:
    unsigned Start(_VEXIPMIConfiguration* configuration) override
    {
        m_front.reset(new (std::nothrow) VEXIPMIInterfaceImpl());
        if (!m_front) {
            return 257;
        }
        return m_front->Initialize(configuration);
    }
    unsigned Request(_VEXIPMICommandData* record) override
    {
        return m_front ? m_front->IPMIRequest(record) : 257;
    }
    void Stop() override
    {
        if (m_front) {
            m_front->Release();
            m_front.reset();
        }
    }
    bool IsStarted() const override { return static_cast<bool>(m_front); }

private:
    std::unique_ptr<VEXIPMIInterfaceImpl> m_front;
};

struct PipeCloser {
    void operator()(FILE* pipe) const { pclose(pipe); }
};

// Mount points in /proc/self/mounts escape blanks and a few other bytes as
// backslash and three octal digits.
std::string UnescapeMountField(const std::string& field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::string WithoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

class RealHost : public IScalHost
{
public:
    int RunShell(const std::string& command) override { return std::system(command.c_str()); }

    bool RunCapture(const std::string& command, std::size_t maxBytes, std::string& output) override
    {
        output.clear();
        std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
        if (!pipe) {
            return false;
        }
        std::string buffer(maxBytes, '\0');
        std::size_t got = std::fread(&buffer[0], 1, maxBytes, pipe.get());
        output.assign(buffer, 0, got);
        return true;
    }

    bool PathExists(const std::string& path) override
    {
        struct stat info;
        return stat(path.c_str(), &info) == 0;
    }

    bool IsExecutable(const std::string& path) override { return access(path.c_str(), X_OK) == 0; }

    bool ReadFile(const std::string& path, std::string& content) override
    {
        content.clear();
        std::ifstream in(path, std::ios::in | std::ios::binary);
        if (!in.is_open()) {
            return false;
        }
        std::ostringstream text;
        text << in.rdbuf();
        content = text.str();
        return true;
    }

    int Unlink(const std::string& path) override { return unlink(path.c_str()) == 0 ? 0 : errno; }

    int Unmount(const std::string& directory) override
    {
        return umount(directory.c_str()) == 0 ? 0 : errno;
    }

    bool IsMountPoint(const std::string& directory) override
    {
        std::ifstream mounts("/proc/self/mounts");
        const std::string wanted = WithoutTrailingSlash(directory);
        std::string line;
        while (std::getline(mounts, line)) {
            std::istringstream fields(line);
            std::string device;
            std::string mountPoint;
            if (fields >> device >> mountPoint &&
                WithoutTrailingSlash(UnescapeMountField(mountPoint)) == wanted) {
                return true;
            }
        }
        return false;
    }

    bool BecomeRoot() override { return setuid(0) == 0; }

    bool KernelName(std::string& name) override
    {
        struct utsname info;
        if (uname(&info) != 0) {
            return false;
        }
        name = info.sysname;
        return true;
    }

    void Sync() override { sync(); }

    bool IgnoreInterruptSignal() override
    {
        struct sigaction action = {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        return sigaction(SIGINT, &action, nullptr) == 0;
    }

    void UnloadUSB() override { CPlatformLayer::unloadUSB(); }
};

class RealSleeper : public IScalSleeper
{
public:
    // A termination signal ends a retry pause at once; see Interruption.h.
    void SleepSeconds(unsigned seconds) override { interruption::SleepUnlessStopped(seconds); }
};

RealIPMILibrary& RealIPMI()
{
    static RealIPMILibrary* library = new RealIPMILibrary();
    return *library;
}

RealHost gRealHost;
RealSleeper gRealSleeper;

ScalSeams& Current()
{
    static ScalSeams seams{&RealIPMI(), &gRealHost, &gRealSleeper, &NullProgress()};
    return seams;
}

} // namespace

IScalIPMILibrary& ScalIPMI()
{
    return *Current().ipmi;
}

IScalHost& ScalHost()
{
    return *Current().host;
}

IScalSleeper& ScalSleeper()
{
    return *Current().sleeper;
}

IProgressSink& ScalProgress()
{
    return *Current().progress;
}

ScalSeams SetScalSeams(const ScalSeams& seams)
{
    ScalSeams previous = Current();
    Current().ipmi = seams.ipmi != nullptr ? seams.ipmi : &RealIPMI();
    Current().host = seams.host != nullptr ? seams.host : &gRealHost;
    Current().sleeper = seams.sleeper != nullptr ? seams.sleeper : &gRealSleeper;
    Current().progress = seams.progress != nullptr ? seams.progress : &NullProgress();
    return previous;
}
