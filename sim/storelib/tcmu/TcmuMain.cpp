// A simulated switch served through the kernel's own SCSI target: the
// fourth front of the storage simulator. Finds the TCM-User device created
// with dev_config=<anything>/NAME through configfs, maps its UIO ring and
// answers each command as the switch of the topology file would.
//
//   simstorelib_tcmu --topology FILE --ctrl ID --dev N --name NAME --outdir DIR
//                    [--hold-chunk N --hold-file PATH]
//
// Writes DIR/received_<CTRL>_<dev>.bin (the image, as the simulated library
// does) and DIR/tcmu_trace_<CTRL>_<dev>.log (one line per command). SIGHUP
// reads the topology again; SIGTERM ends it. --hold-chunk makes the switch
// create PATH on that WRITE BUFFER chunk and wait (at most 60 s) until it is
// removed, so a test can pull the device away mid-download.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "SwitchTarget.h"
#include "TcmuRing.h"
#include "Topology.h"

using namespace storelibsim;

namespace
{

volatile sig_atomic_t gReload = 0;
volatile sig_atomic_t gStop = 0;

void OnSignal(int sig)
{
    if (sig == SIGHUP) {
        gReload = 1;
    } else {
        gStop = 1;
    }
}

bool ReadSmall(const std::string& path, std::string& out)
{
    FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) {
        return false;
    }
    char buf[512];
    const size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
    std::fclose(f);
    out.assign(buf, n);
    return true;
}

// The uio node whose name is tcm-user/<hba>/<NAME>/<dev_config>.
bool FindUio(const std::string& name, std::string& dev, size_t& mapSize)
{
    DIR* d = opendir("/sys/class/uio");
    if (d == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* e = readdir(d)) {
        const std::string node = e->d_name;
        if (node.compare(0, 3, "uio") != 0) {
            continue;
        }
        std::string text, size;
        if (!ReadSmall("/sys/class/uio/" + node + "/name", text) ||
            text.compare(0, 9, "tcm-user/") != 0 ||
            text.find("/" + name + "/") == std::string::npos ||
            !ReadSmall("/sys/class/uio/" + node + "/maps/map0/size", size)) {
            continue;
        }
        mapSize = std::strtoull(size.c_str(), nullptr, 16);
        dev = "/dev/" + node;
        found = mapSize != 0;
        break;
    }
    closedir(d);
    return found;
}

struct Options {
    std::string topology, name, outDir = ".", holdFile;
    uint32_t ctrl = 0;
    uint16_t dev = 0;
    uint32_t holdChunk = 0;
};

std::unique_ptr<SwitchTarget> MakeTarget(const Options& o)
{
    Topology topo;
    std::string error;
    if (!LoadTopology(o.topology, topo, error)) {
        std::fprintf(stderr, "simstorelib_tcmu: %s\n", error.c_str());
        return nullptr;
    }
    for (const Controller& c : topo.controllers) {
        if (c.id != o.ctrl) {
            continue;
        }
        for (const Device& d : c.devices) {
            if (d.id != o.dev) {
                continue;
            }
            char tail[64];
            std::snprintf(tail, sizeof(tail), "_%08X_%u", c.id, d.id);
            auto t = std::make_unique<SwitchTarget>(c, d, o.outDir + "/received" + tail + ".bin",
                                                    o.outDir + "/tcmu_trace" + tail + ".log");
            if (o.holdChunk != 0) {
                const Options opts = o;
                t->beforeChunk = [opts](uint32_t chunk) {
                    if (chunk != opts.holdChunk) {
                        return;
                    }
                    const int fd =
                        open(opts.holdFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                    if (fd >= 0) {
                        close(fd);
                    }
                    struct stat st;
                    for (int i = 0; i < 600 && stat(opts.holdFile.c_str(), &st) == 0; ++i) {
                        usleep(100000);
                    }
                };
            }
            return t;
        }
    }
    std::fprintf(stderr, "simstorelib_tcmu: no device %u behind controller 0x%08X in %s\n", o.dev,
                 o.ctrl, o.topology.c_str());
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--topology") {
            o.topology = v;
        } else if (k == "--ctrl") {
            o.ctrl = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 0));
        } else if (k == "--dev") {
            o.dev = static_cast<uint16_t>(std::strtoul(v.c_str(), nullptr, 0));
        } else if (k == "--name") {
            o.name = v;
        } else if (k == "--outdir") {
            o.outDir = v;
        } else if (k == "--hold-chunk") {
            o.holdChunk = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 0));
        } else if (k == "--hold-file") {
            o.holdFile = v;
        } else {
            std::fprintf(stderr, "simstorelib_tcmu: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (o.topology.empty() || o.name.empty() || (o.holdChunk != 0 && o.holdFile.empty())) {
        std::fprintf(stderr,
                     "usage: simstorelib_tcmu --topology FILE --ctrl ID --dev N --name NAME "
                     "--outdir DIR [--hold-chunk N --hold-file PATH]\n");
        return 2;
    }
    std::unique_ptr<SwitchTarget> target = MakeTarget(o);
    if (!target) {
        return 2;
    }

    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal; // no SA_RESTART: the blocking read returns
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::string dev;
    size_t mapSize = 0;
    for (int i = 0; !FindUio(o.name, dev, mapSize); ++i) {
        if (i == 100 || gStop) {
            std::fprintf(stderr, "simstorelib_tcmu: no TCM-User device named %s\n", o.name.c_str());
            return 1;
        }
        usleep(100000);
    }
    const int fd = open(dev.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "simstorelib_tcmu: open %s: %s\n", dev.c_str(), std::strerror(errno));
        return 1;
    }
    void* mem = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
        std::fprintf(stderr, "simstorelib_tcmu: mmap %zu: %s\n", mapSize, std::strerror(errno));
        close(fd);
        return 1;
    }
    auto* map = static_cast<uint8_t*>(mem);
    const CommandServer serve = [&target](const uint8_t* cdb, const uint8_t* data, size_t n) {
        return target->Handle(cdb, data, n);
    };
    int rc = 0;
    while (!gStop) {
        if (gReload) {
            gReload = 0;
            if (std::unique_ptr<SwitchTarget> t = MakeTarget(o)) {
                target = std::move(t);
            }
        }
        const int taken = ServeRing(map, mapSize, serve);
        if (taken < 0) {
            std::fprintf(stderr, "simstorelib_tcmu: ring of %s is corrupt\n", dev.c_str());
            rc = 1;
            break;
        }
        if (taken > 0) {
            const uint32_t kick = 1;
            if (write(fd, &kick, sizeof(kick)) != sizeof(kick)) {
                std::fprintf(stderr, "simstorelib_tcmu: kick: %s\n", std::strerror(errno));
            }
        }
        uint32_t events = 0;
        const ssize_t n = read(fd, &events, sizeof(events));
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "simstorelib_tcmu: wait: %s\n", std::strerror(errno));
            rc = 1;
            break;
        }
    }
    munmap(mem, mapSize);
    close(fd);
    return rc;
}
