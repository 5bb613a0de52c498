#pragma once

// In-process stand-in for the operating system as the storage-library talker
// sees it: named fake libraries whose entry points dispatch to test handlers,
// a recording shell, and scripted identity probes.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fstream>
#include <sstream>
#include <unistd.h>

#include "Logger.h"
#include "ZUKStoreLibTalker.h"

// One handler per variant slot; an entry point is a plain function, so the
// fake libraries reach their test handler through these.
using FakeEntryHandler = std::function<uint32_t(uint8_t* record)>;
inline FakeEntryHandler g_fakeStoreLibHandlers[ZUKStoreLibTalker::VARIANT_COUNT];

template <int N> uint32_t FakeStoreLibEntry(void* record)
{
    if (!g_fakeStoreLibHandlers[N]) {
        return 0xDEAD;
    }
    return g_fakeStoreLibHandlers[N](static_cast<uint8_t*>(record));
}

inline StoreLibEntryPoint FakeStoreLibEntryFor(int slot)
{
    static const StoreLibEntryPoint entries[ZUKStoreLibTalker::VARIANT_COUNT] = {
        &FakeStoreLibEntry<0>, &FakeStoreLibEntry<1>, &FakeStoreLibEntry<2>, &FakeStoreLibEntry<3>,
        &FakeStoreLibEntry<4>};
    return entries[slot];
}

class FakeStoreLibSystem : public IStoreLibSystem
{
public:
    struct Library {
        std::string symbol;
        StoreLibEntryPoint entry;
    };

    FakeStoreLibSystem()
    {
        for (auto& h : g_fakeStoreLibHandlers) {
            h = nullptr;
        }
    }
    ~FakeStoreLibSystem() override
    {
        for (auto& h : g_fakeStoreLibHandlers) {
            h = nullptr;
        }
    }

    // Makes `file` loadable, exporting `symbol` that calls `handler`.
    void AddLibrary(const std::string& file, const std::string& symbol, int slot,
                    FakeEntryHandler handler)
    {
        libraries[file] = Library{symbol, FakeStoreLibEntryFor(slot)};
        g_fakeStoreLibHandlers[slot] = std::move(handler);
    }

    void* OpenLibrary(const std::string& file) override
    {
        opened.push_back(file);
        auto it = libraries.find(file);
        if (it == libraries.end()) {
            lastLoadError = file + ": the file is missing";
            return nullptr;
        }
        ++openCount;
        return &it->second;
    }

    std::string LastLoadError() override { return lastLoadError; }

    void* FindSymbol(void* handle, const std::string& name) override
    {
        symbolsLookedUp.push_back(name);
        auto* lib = static_cast<Library*>(handle);
        if (lib == nullptr || lib->symbol != name) {
            return nullptr;
        }
        return reinterpret_cast<void*>(lib->entry);
    }

    void CloseLibrary(void* handle) override
    {
        ++closeCount;
        closed.push_back(handle);
    }

    int RunShell(const std::string& command) override
    {
        commands.push_back(command);
        if (onCommand) {
            onCommand(command);
        }
        auto it = commandStatus.find(command);
        return it == commandStatus.end() ? 0 : it->second;
    }

    bool FileExists(const std::string& path) override { return files.count(path) != 0; }

    bool SetUidRoot() override { return setuidOk; }

    bool GetSystemName(std::string& name) override
    {
        if (!unameOk) {
            return false;
        }
        name = sysname;
        return true;
    }

    // The package folder when it is not the working directory ("" when it is).
    std::string packageDir;
    std::string PackagePath(const std::string& relative) override
    {
        if (packageDir.empty()) {
            return relative;
        }
        return packageDir + (relative.rfind("./", 0) == 0 ? relative.substr(2) : relative);
    }

    // Runs the script as the real system does when nothing is checked: the
    // same command through RunShell, unless it is one to refuse.
    int RunPackageScript(const std::string& script) override
    {
        scriptsAsked.push_back(script);
        if (refusedFiles.count(script) != 0) {
            return -1;
        }
        return RunShell(storelib::PackageScriptCommand(script));
    }

    bool ReadFirstLine(const std::string& path, std::string& line) override
    {
        auto it = firstLines.find(path);
        if (it == firstLines.end()) {
            return false;
        }
        line = it->second;
        return true;
    }

    std::map<std::string, Library> libraries;
    std::vector<std::string> opened;
    std::string lastLoadError;
    std::vector<std::string> symbolsLookedUp;
    std::vector<void*> closed;
    int openCount = 0;
    int closeCount = 0;
    std::vector<std::string> commands;
    std::map<std::string, int> commandStatus;
    std::function<void(const std::string&)> onCommand;
    std::set<std::string> files;
    std::set<std::string> refusedFiles; // RunPackageScript does not run these
    std::vector<std::string> scriptsAsked;
    bool setuidOk = true;
    bool unameOk = true;
    std::string sysname = "Linux";
    std::map<std::string, std::string> firstLines;
};

// Sends the program debug log to a scratch file for the life of the object.
class StoreLibLogCapture
{
public:
    StoreLibLogCapture()
    {
        char name[] = "/tmp/storelib_log_XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) {
            close(fd);
        }
        m_path = name;
        CLogger::ResetForTesting();
        CLogger::GetInstance()->Initialize(m_path);
    }
    ~StoreLibLogCapture()
    {
        CLogger::ResetForTesting();
        std::remove(m_path.c_str());
    }

    std::string contents() const
    {
        std::ifstream in(m_path);
        std::ostringstream oss;
        oss << in.rdbuf();
        return oss.str();
    }
    bool has(const std::string& text) const { return contents().find(text) != std::string::npos; }
    // Number of lines whose message is exactly `text`.
    int countLines(const std::string& text) const
    {
        std::istringstream in(contents());
        std::string line;
        int n = 0;
        const std::string tail = ": " + text;
        while (std::getline(in, line)) {
            if (line.size() >= tail.size() &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
                ++n;
            }
        }
        return n;
    }

private:
    std::string m_path;
};
