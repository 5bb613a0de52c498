// Boundaries of the access layer: the IPMI library, the host system (shell,
// files, mounts, process state) and the passage of time. The access layer and
// the OEM command layer reach the outside world only through these, so tests
// can stand in a simulated controller, a scripted host and a sleeper that does
// not sleep.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <string>

#include "ChangeJournal.h"
#include "VEXIPMICommandData.h"
#include "VEXProgress.h"
#include "VEXShellRunner.h"

class VEXIPMIInterfaceImpl;

// The IPMI library front as the OEM command layer uses it: one front per
// process, started, asked and stopped.
class IScalIPMILibrary
{
public:
    virtual ~IScalIPMILibrary() = default;
    // Creates the front and initialises it; the front's result (0 = ready).
    virtual unsigned Start(_VEXIPMIConfiguration* configuration) = 0;
    // One request through the front; 0 when a response was stored.
    virtual unsigned Request(_VEXIPMICommandData* record) = 0;
    // Releases the calling thread's session and destroys the front.
    virtual void Stop() = 0;
    virtual bool IsStarted() const = 0;
};

// Every wait of the access layer goes through here.
class IScalSleeper
{
public:
    virtual ~IScalSleeper() = default;
    virtual void SleepSeconds(unsigned seconds) = 0;
};

// The host calls the access layer makes.
class IScalHost : public IVEXShellRunner
{
public:
    // popen() for reading: at most maxBytes of the output; false when the
    // pipe could not be opened.
    virtual bool RunCapture(const std::string& command, std::size_t maxBytes,
                            std::string& output) = 0;
    // stat() succeeds.
    virtual bool PathExists(const std::string& path) = 0;
    // access(X_OK) succeeds.
    virtual bool IsExecutable(const std::string& path) = 0;
    // Whole file; false when it cannot be opened.
    virtual bool ReadFile(const std::string& path, std::string& content) = 0;
    // A file the package ships ("package.xml", the rule files), read from the
    // executable's folder through a checked descriptor, and checked against
    // package.jcat when the package's files are; false when it is missing,
    // may not be trusted or fails its check (a refusal is reported).
    virtual bool ReadPackageFile(const std::string& name, std::string& content) = 0;
    // lstat(2): false when nothing is there.
    virtual bool LStat(const std::string& path, struct stat& info) = 0;
    // Creates a new file with the content and mode, never through a link and
    // never over something already there; 0 or errno (EEXIST).
    virtual int CreateNewFile(const std::string& path, const std::string& content,
                              unsigned mode) = 0;
    // unlink(); 0 or errno.
    virtual int Unlink(const std::string& path) = 0;
    // umount2(2) without following a link; 0 or errno.
    virtual int Unmount(const std::string& directory) = 0;
    // Something is mounted on the directory: it lies on another device than
    // its parent, or is the root of a mount.
    virtual bool IsMountPoint(const std::string& directory) = 0;
    // setuid(0) succeeds.
    virtual bool BecomeRoot() = 0;
    // uname()'s system name; false when uname fails.
    virtual bool KernelName(std::string& name) = 0;
    virtual void Sync() = 0;
    // SIGINT set to "ignore" with sigaction; false when sigaction fails.
    virtual bool IgnoreInterruptSignal() = 0;
    // The platform layer's USB storage driver clean-up.
    virtual void UnloadUSB() = 0;
};

// The real implementations.
class RealScalIPMILibrary : public IScalIPMILibrary
{
public:
    RealScalIPMILibrary();
    ~RealScalIPMILibrary() override;
    unsigned Start(_VEXIPMIConfiguration* configuration) override;
    unsigned Request(_VEXIPMICommandData* record) override;
    void Stop() override;
    bool IsStarted() const override;

private:
    std::unique_ptr<VEXIPMIInterfaceImpl> m_front;
};

class RealScalHost : public IScalHost
{
public:
    int RunShell(const std::string& command) override;
    bool RunCapture(const std::string& command, std::size_t maxBytes, std::string& output) override;
    bool PathExists(const std::string& path) override;
    bool IsExecutable(const std::string& path) override;
    bool ReadFile(const std::string& path, std::string& content) override;
    bool ReadPackageFile(const std::string& name, std::string& content) override;
    bool LStat(const std::string& path, struct stat& info) override;
    int CreateNewFile(const std::string& path, const std::string& content, unsigned mode) override;
    int Unlink(const std::string& path) override;
    int Unmount(const std::string& directory) override;
    bool IsMountPoint(const std::string& directory) override;
    bool BecomeRoot() override;
    bool KernelName(std::string& name) override;
    void Sync() override;
    bool IgnoreInterruptSignal() override;
    void UnloadUSB() override;
};

class RealScalSleeper : public IScalSleeper
{
public:
    // A termination signal ends a retry pause at once; see Interruption.h.
    void SleepSeconds(unsigned seconds) override;
};

// A sink the caller keeps alive, without taking it over.
std::shared_ptr<IProgressSink> BorrowedProgress(IProgressSink& sink);

// What the access layer (secureCorvel) is built with.
struct ScalSeams {
    std::shared_ptr<IScalHost> host = std::make_shared<RealScalHost>();
    std::shared_ptr<IScalSleeper> sleeper = std::make_shared<RealScalSleeper>();
    // Where the waits on a slow controller are shown; says nothing unless set.
    std::shared_ptr<IProgressSink> progress = BorrowedProgress(NullProgress());
    // Where the rule files, the session and the flag are noted before they
    // change, so that a run killed meanwhile is repaired by the next one.
    std::shared_ptr<IChangeJournal> journal = std::make_shared<RealChangeJournal>();
};

// The OEM command layer's seams. Its entry points are free functions around
// the process's one library front and request records, so what they use is
// process-wide too: the real implementations unless a test installs others.
struct OEMCommandSeams {
    std::shared_ptr<IScalIPMILibrary> ipmi = std::make_shared<RealScalIPMILibrary>();
    std::shared_ptr<IScalSleeper> sleeper = std::make_shared<RealScalSleeper>();
};

// Installs the command layer's seams; returns those that were in force.
OEMCommandSeams SetOEMCommandSeams(OEMCommandSeams seams);
IScalIPMILibrary& OEMCommandIPMI();
IScalSleeper& OEMCommandSleeper();
