// Test doubles for the access layer's host and sleep seams: a scripted host
// and a sleeper that only counts. The controller is the simulated one
// (SimulatedController.h).
#pragma once

#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ScalSeams.h"

namespace scaltest
{

// A host whose files, commands and mounts are what the test says.
class FakeHost : public IScalHost
{
public:
    std::map<std::string, std::string> files; // path -> content
    std::set<std::string> unreadable;         // exist but cannot be opened
    std::set<std::string> executables;
    std::set<std::string> mountPoints;
    // What lstat finds besides the files: root's directories (/tmp sticky and
    // world-writable, as it is), links, and owners other than root.
    std::set<std::string> directories = {"/tmp",
                                         "/tmp/COR001",
                                         "/tmp/SECUPD",
                                         "/etc/udev/rules.d",
                                         "/lib/udev/rules.d",
                                         "/run/udev/rules.d"};
    std::set<std::string> links;
    std::map<std::string, uid_t> owners;
    std::map<std::string, mode_t> modes;
    std::set<std::string> refusedPackageFiles;
    std::map<std::string, std::string> created; // CreateNewFile: path -> content
    std::map<std::string, unsigned> createdModes;
    std::map<std::string, std::string> captureOutput; // command -> output
    std::function<int(const std::string&)> shellStatus;
    std::deque<int> unmountResults; // then EINVAL
    bool rootAllowed = true;
    std::string kernelName = "Linux";
    bool signalIgnoreWorks = true;
    std::function<void()> onUnloadUSB;

    std::vector<std::string> shellCommands;
    std::vector<std::string> captureCommands;
    std::vector<std::string> unlinked;
    std::vector<std::string> packageReads;
    std::vector<std::string> unmounts;
    unsigned signalIgnoreCalls = 0;
    unsigned unloadUSBCalls = 0;
    unsigned syncCalls = 0;

    FakeHost()
    {
        // grep -q finds no USB arbitrator unless a test says so.
        shellStatus = [](const std::string& command) {
            return command.find("vmware-usbarbitrator") != std::string::npos ? 1 : 0;
        };
    }

    int RunShell(const std::string& command) override
    {
        shellCommands.push_back(command);
        return shellStatus(command);
    }
    bool RunCapture(const std::string& command, std::size_t maxBytes, std::string& output) override
    {
        captureCommands.push_back(command);
        auto found = captureOutput.find(command);
        if (found == captureOutput.end()) {
            output.clear();
            return false;
        }
        output = found->second.substr(0, maxBytes);
        return true;
    }
    bool PathExists(const std::string& path) override
    {
        return files.count(path) != 0 || unreadable.count(path) != 0 ||
               executables.count(path) != 0;
    }
    bool IsExecutable(const std::string& path) override { return executables.count(path) != 0; }
    bool ReadFile(const std::string& path, std::string& content) override
    {
        auto found = files.find(path);
        if (found == files.end()) {
            content.clear();
            return false;
        }
        content = found->second;
        return true;
    }
    bool ReadPackageFile(const std::string& name, std::string& content) override
    {
        packageReads.push_back(name);
        if (refusedPackageFiles.count(name) != 0) {
            content.clear();
            return false;
        }
        return ReadFile(name, content);
    }
    bool LStat(const std::string& path, struct stat& info) override
    {
        std::string p = path;
        while (p.size() > 1 && p.back() == '/') {
            p.pop_back();
        }
        info = {};
        info.st_nlink = 1;
        if (links.count(p) != 0) {
            info.st_mode = S_IFLNK | 0777;
        } else if (p == "/tmp" && directories.count(p) != 0) {
            info.st_mode = S_IFDIR | S_ISVTX | 0777;
        } else if (directories.count(p) != 0) {
            info.st_mode = S_IFDIR | 0755;
        } else if (files.count(p) != 0 || created.count(p) != 0) {
            info.st_mode = S_IFREG | 0644;
        } else {
            return false;
        }
        auto owner = owners.find(p);
        info.st_uid = owner == owners.end() ? 0 : owner->second;
        auto mode = modes.find(p);
        if (mode != modes.end()) {
            info.st_mode = (info.st_mode & S_IFMT) | mode->second;
        }
        return true;
    }
    int CreateNewFile(const std::string& path, const std::string& content, unsigned mode) override
    {
        struct stat ignored;
        if (LStat(path, ignored)) {
            return EEXIST;
        }
        created[path] = content;
        createdModes[path] = mode;
        return 0;
    }
    int Unlink(const std::string& path) override
    {
        created.erase(path);
        unlinked.push_back(path);
        return files.erase(path) != 0 ? 0 : ENOENT;
    }
    int Unmount(const std::string& directory) override
    {
        unmounts.push_back(directory);
        if (unmountResults.empty()) {
            return EINVAL;
        }
        int result = unmountResults.front();
        unmountResults.pop_front();
        return result;
    }
    bool IsMountPoint(const std::string& directory) override
    {
        return mountPoints.count(directory) != 0;
    }
    bool BecomeRoot() override { return rootAllowed; }
    bool KernelName(std::string& name) override
    {
        name = kernelName;
        return true;
    }
    void Sync() override { ++syncCalls; }
    bool IgnoreInterruptSignal() override
    {
        ++signalIgnoreCalls;
        return signalIgnoreWorks;
    }
    void UnloadUSB() override
    {
        ++unloadUSBCalls;
        if (onUnloadUSB) {
            onUnloadUSB();
        }
    }

    unsigned CountShell(const std::string& part) const
    {
        unsigned count = 0;
        for (const std::string& command : shellCommands) {
            if (command.find(part) != std::string::npos) {
                ++count;
            }
        }
        return count;
    }
};

class FakeSleeper : public IScalSleeper
{
public:
    std::vector<unsigned> sleeps;
    // Runs at the start of every pause (for instance: a signal arrives).
    std::function<void()> duringSleep;
    void SleepSeconds(unsigned seconds) override
    {
        sleeps.push_back(seconds);
        if (duringSleep) {
            duringSleep();
        }
    }
    unsigned Total() const
    {
        unsigned total = 0;
        for (unsigned s : sleeps) {
            total += s;
        }
        return total;
    }
};

} // namespace scaltest
