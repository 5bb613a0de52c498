// Simulated IT storage library. It answers the commands of the switch tool the
// way the real library does (same record layouts, same 0-for-success results)
// from a topology file, refuses anything malformed, keeps the image each
// switch received and writes a trace line for every command. The answers
// are Library's (Library.h); this is the shared object around them: where
// the topology and the trace are, and the replay of a transcript.

#include <climits>
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Library.h"
#include "Replay.h"

extern "C" __attribute__((visibility("default"))) uint32_t ProcessLibCommandIT(void* pCmdParam);

namespace
{

std::string DirOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FindLibraryDir()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&ProcessLibCommandIT), &info) != 0 &&
        info.dli_fname != nullptr) {
        // Loaded through a descriptor ("/proc/self/fd/N"), the name leads to
        // the file only while the loader holds it open: resolved at load.
        char resolved[PATH_MAX];
        if (realpath(info.dli_fname, resolved) != nullptr) {
            return DirOf(resolved);
        }
        return DirOf(info.dli_fname);
    }
    return ".";
}

std::string& LoadedFrom()
{
    static std::string dir;
    return dir;
}

__attribute__((constructor)) void RememberLibraryDir()
{
    LoadedFrom() = FindLibraryDir();
}

std::string LibraryDir()
{
    return LoadedFrom().empty() ? FindLibraryDir() : LoadedFrom();
}

// The topology named by the environment, else the one beside the library;
// the trace and images beside the topology unless the environment says.
storelibsim::Places PlacesFromEnvironment()
{
    storelibsim::Places places;
    const char* topo = std::getenv("STORELIB_SIM_TOPOLOGY");
    places.topology = (topo != nullptr && *topo != '\0') ? std::string(topo)
                                                         : LibraryDir() + "/storelib_topology.conf";
    const char* out = std::getenv("STORELIB_SIM_OUTDIR");
    places.outDir = (out != nullptr && *out != '\0') ? std::string(out) : DirOf(places.topology);
    return places;
}

class Simulator
{
public:
    uint32_t handle(uint8_t* rec);

private:
    bool replaying();

    storelibsim::Library m_library{PlacesFromEnvironment};
    bool m_replayChecked = false;
    std::unique_ptr<storelibsim::Replay> m_replay;
};

// STORELIB_SIM_REPLAY names a transcript: the commands are answered from it
// instead of the topology. The program unloads and reloads the library within
// one run; a replay has to go on where it was, so the library stays loaded.
bool Simulator::replaying()
{
    if (!m_replayChecked) {
        m_replayChecked = true;
        const char* path = std::getenv("STORELIB_SIM_REPLAY");
        if (path != nullptr && *path != '\0') {
            m_replay.reset(new storelibsim::Replay(path, m_library.outDir()));
            Dl_info info;
            if (dladdr(reinterpret_cast<void*>(&ProcessLibCommandIT), &info) != 0 &&
                info.dli_fname != nullptr) {
                dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
            }
        }
    }
    return m_replay != nullptr;
}

uint32_t Simulator::handle(uint8_t* rec)
{
    if (replaying()) {
        std::string line;
        std::string report;
        const uint32_t rc = m_replay->handle(rec, line, report);
        m_library.trace(line);
        if (!report.empty()) {
            std::fprintf(stderr, "storelib replay: %s\n", report.c_str());
        }
        return rc;
    }
    return m_library.handle(rec);
}

Simulator& Sim()
{
    static Simulator sim;
    return sim;
}

} // namespace

extern "C" uint32_t ProcessLibCommandIT(void* pCmdParam)
{
    if (pCmdParam == nullptr) {
        return storelibsim::kErrMalformed;
    }
    return Sim().handle(static_cast<uint8_t*>(pCmdParam));
}
