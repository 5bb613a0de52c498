// Test doubles for the access layer's seams: a stateful controller behind the
// IPMI library seam, a scripted host and a sleeper that only counts.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "ScalSeams.h"
#include "VEXIPMIUtil.h"

namespace scaltest
{

// One answer: completion code and the response bytes from byte 3 on.
struct Reply {
    uint8_t cc = 0;
    std::vector<uint8_t> data;
    bool noResponse = false; // the front reports that nothing arrived (320)
};

inline Reply Cc(uint8_t cc)
{
    Reply reply;
    reply.cc = cc;
    return reply;
}

inline Reply Silent()
{
    Reply reply;
    reply.noResponse = true;
    return reply;
}

// Key of a request kind: command byte and, for 0xA2, the sub-command.
inline int Key(uint8_t command, int subCommand = -1)
{
    return command == 0xA2 ? (command << 8) | (subCommand & 0xFF) : (command << 16) | 0xFFFF;
}

// A controller that keeps the repository state a real one would: it grants
// one session, refuses session-bound requests with the wrong handle, and
// refuses the state flag outside a session before 17G.
class FakeController : public IScalIPMILibrary
{
public:
    // Configuration of the simulated controller.
    unsigned startResult = 0;
    uint8_t corvelTypeRaw = 0;
    uint8_t accessState = 0;
    uint8_t generationByte = 0x20;
    uint16_t grantedHandle = 0x002A;
    uint16_t staticMap = 0;
    uint16_t dynMap = 0;
    std::map<unsigned, std::string> staticNames;
    std::map<unsigned, std::string> dynNames;
    // Sub-command -> number of GetCORVELStatus polls that still report it
    // pending after its first answer (0x02).
    std::map<uint8_t, unsigned> pendingPolls;

    // Observed state.
    bool started = false;
    unsigned startCalls = 0;
    unsigned stopCalls = 0;
    bool sessionOpen = false;
    uint16_t sessionHandle = 0;
    int stateFlag = -1;
    uint16_t lastDetachStatic = 0;
    uint16_t lastDetachDynamic = 0;
    std::vector<unsigned> deletedDynSlots;
    std::vector<std::vector<uint8_t>> requests;
    _VEXIPMIConfiguration startConfiguration = {};
    // Runs while each request is under way (for instance: a signal arrives).
    std::function<void(const std::vector<uint8_t>&)> duringRequest;

    // Answers the next `times` requests of this kind with `reply` before
    // the controller's own behaviour applies again.
    void Script(int key, const Reply& reply, unsigned times = 1)
    {
        for (unsigned i = 0; i < times; ++i) {
            scripted_[key].push_back(reply);
        }
    }
    // Answers every request of this kind with `reply`.
    void Always(int key, const Reply& reply) { always_[key] = reply; }

    unsigned Start(_VEXIPMIConfiguration* configuration) override
    {
        ++startCalls;
        started = true; // the front exists even when its initialisation failed
        if (configuration != nullptr) {
            startConfiguration = *configuration;
        }
        return startResult;
    }

    unsigned Request(_VEXIPMICommandData* record) override
    {
        const unsigned length = IPMIRequestLength(*record);
        std::vector<uint8_t> request(IPMIRequestBytes(*record), IPMIRequestBytes(*record) + length);
        request.resize(std::max<std::size_t>(request.size(), 16), 0);
        requests.push_back(std::vector<uint8_t>(request.begin(), request.begin() + length));
        if (duringRequest) {
            duringRequest(requests.back());
        }

        // The library front clears the response before every exchange.
        uint8_t* response = IPMIResponseBytes(*record);
        std::fill(response, response + 255, 0);

        const int key = Key(request[1], request[2]);
        Reply reply;
        auto queued = scripted_.find(key);
        if (queued != scripted_.end() && !queued->second.empty()) {
            reply = queued->second.front();
            queued->second.pop_front();
        } else if (always_.count(key) != 0) {
            reply = always_[key];
        } else {
            reply = Behave(request);
        }
        if (reply.noResponse) {
            return 320;
        }
        response[0] = static_cast<uint8_t>(request[0] + 1);
        response[1] = request[1];
        response[2] = reply.cc;
        for (std::size_t i = 0; i < reply.data.size() && i + 3 < 255; ++i) {
            response[3 + i] = reply.data[i];
        }
        SetIPMILengths(*record, length, static_cast<unsigned>(3 + reply.data.size()));
        return 0;
    }

    void Stop() override
    {
        ++stopCalls;
        started = false;
    }
    bool IsStarted() const override { return started; }

    // Requests of one kind, in order.
    std::vector<std::vector<uint8_t>> RequestsOf(int key) const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& request : requests) {
            if (Key(request[1], request.size() > 2 ? request[2] : 0) == key) {
                out.push_back(request);
            }
        }
        return out;
    }

    // "AD", "BD", "A2/12", ... for each request, in order.
    std::vector<std::string> Sequence() const
    {
        std::vector<std::string> out;
        char text[16];
        for (const auto& request : requests) {
            if (request[1] == 0xA2) {
                std::snprintf(text, sizeof(text), "A2/%02X", request[2]);
            } else {
                std::snprintf(text, sizeof(text), "%02X", request[1]);
            }
            out.push_back(text);
        }
        return out;
    }

private:
    bool HandleMatches(const std::vector<uint8_t>& request) const
    {
        return sessionOpen && (request[3] | (request[4] << 8)) == sessionHandle;
    }

    Reply Behave(const std::vector<uint8_t>& request)
    {
        Reply reply;
        const uint8_t command = request[1];
        if (command == 0xAD) {
            reply.data = {corvelTypeRaw};
            return reply;
        }
        if (command == 0xAE) {
            reply.data = {accessState};
            return reply;
        }
        if (command == 0xBD) {
            reply.data = {0, 0, 0, 0, 0, generationByte};
            return reply;
        }
        if (command != 0xA2) {
            return reply;
        }

        const uint8_t sub = request[2];
        auto pending = pendingPolls.find(sub);
        if (pending != pendingPolls.end() && sub != 0x0A) {
            pendingSub_ = sub;
            pollsLeft_ = pending->second;
            pendingPolls.erase(pending);
            // The work is done now; only its completion is reported late.
            Reply work = Behave(request);
            pendingResult_ = work.cc;
            return Cc(0x02);
        }

        switch (sub) {
        case 0x00:
        case 0x12:
            if (sessionOpen) {
                return Cc(0x07);
            }
            sessionOpen = true;
            sessionHandle = grantedHandle;
            reply.data = {static_cast<uint8_t>(grantedHandle & 0xFF),
                          static_cast<uint8_t>(grantedHandle >> 8)};
            return reply;
        case 0x01:
            if (!HandleMatches(request)) {
                return Cc(0x0D);
            }
            sessionOpen = false;
            return reply;
        case 0x03:
            if (!HandleMatches(request)) {
                return Cc(0x0D);
            }
            reply.data = {
                0, 0, static_cast<uint8_t>(staticMap >> 8), static_cast<uint8_t>(staticMap & 0xFF),
                0, 0, static_cast<uint8_t>(dynMap >> 8),    static_cast<uint8_t>(dynMap & 0xFF)};
            return reply;
        case 0x04: {
            if (!HandleMatches(request)) {
                return Cc(0x0D);
            }
            const auto& names = request[5] == 0x80 ? dynNames : staticNames;
            auto name = names.find(request[6]);
            if (name == names.end()) {
                return Cc(0x0C);
            }
            reply.data = {0, 0, 0, 0};
            for (std::size_t i = 0; i < 6; ++i) {
                reply.data.push_back(i < name->second.size() ? name->second[i] : 0);
            }
            return reply;
        }
        case 0x06:
            if (!HandleMatches(request)) {
                return Cc(0x0D);
            }
            lastDetachStatic = static_cast<uint16_t>((request[5] << 8) | request[6]);
            lastDetachDynamic = static_cast<uint16_t>((request[9] << 8) | request[10]);
            return reply;
        case 0x08: {
            if (!HandleMatches(request)) {
                return Cc(0x0D);
            }
            const uint16_t bits = static_cast<uint16_t>((request[5] << 8) | request[6]);
            for (unsigned slot = 0; slot < 8; ++slot) {
                if (bits & (1u << slot)) {
                    deletedDynSlots.push_back(slot);
                    dynNames.erase(slot);
                    dynMap = static_cast<uint16_t>(dynMap & ~(1u << slot));
                }
            }
            return reply;
        }
        case 0x0A: {
            if (!HandleMatches(request) || request[5] != pendingSub_) {
                return Cc(0x0D);
            }
            uint8_t status = pendingResult_;
            if (pollsLeft_ > 0) {
                --pollsLeft_;
                status = 0x02;
            }
            reply.data = {0, 0, status};
            return reply;
        }
        case 0x11:
            if (generationByte < 0x60 && !HandleMatches(request)) {
                return Cc(0x0D);
            }
            stateFlag = request[6];
            return reply;
        default:
            return Cc(0xC1);
        }
    }

    std::map<int, std::deque<Reply>> scripted_;
    std::map<int, Reply> always_;
    uint8_t pendingSub_ = 0xFF;
    unsigned pollsLeft_ = 0;
    uint8_t pendingResult_ = 0;
};

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
