#pragma once

// The simulated IT storage library itself: its answers to the 40-byte
// command records, from a topology, with the faults it names, the image each
// switch received and a trace line per command. The shared object
// (StoreLibSim.cpp) puts it behind ProcessLibCommandIT; the device manager's
// unit tests drive it in process through the program's storage seam.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Topology.h"

namespace storelibsim
{

// Results of the simulator itself; the real library's codes are its own.
constexpr uint32_t kErrMalformed = 0xE0;
constexpr uint32_t kErrNoController = 0xE1;
constexpr uint32_t kErrNoDevice = 0xE2;
constexpr uint32_t kErrTopology = 0xE3;
constexpr uint32_t kErrNotInitialised = 0xE4;
constexpr uint32_t kErrUnknownCdb = 0xE5;
constexpr uint32_t kErrChunk = 0xE6;

// Where one library finds its topology and keeps its trace and the images.
struct Places {
    std::string topology;
    std::string outDir;
};

// An open file, closed when the holder goes.
class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept;
    int get() const { return m_fd; }
    void reset();

private:
    int m_fd = -1;
};

class Library
{
public:
    // Asked once, and again at every SL_INIT_LIB.
    using PlacesSource = std::function<Places()>;
    // Reads the topology at every SL_INIT_LIB, so each initialisation starts
    // from it as it is then.
    using TopologySource =
        std::function<bool(const std::string& path, Topology& out, std::string& error)>;

    explicit Library(PlacesSource places, TopologySource topology = LoadTopology);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // One command record; the result the entry point returns.
    uint32_t handle(uint8_t* record);

    // Appends one line to the trace (one write, so it is complete even if
    // the caller dies).
    void trace(const std::string& line);
    // The folder of the trace and the received images.
    const std::string& outDir();

    // Every command refused as malformed, unknown or out of place, as its
    // ERROR trace line says it.
    const std::vector<std::string>& refusals() const { return m_refusals; }

private:
    // One download into one switch. The image file is written in place (a
    // repeated download reuses its pages) and cut to what was received when
    // the download ends: at a restart, at exit or init of the library, or
    // when the library goes.
    struct Download {
        uint32_t nextOffset = 0;
        uint32_t chunks = 0;
        Fd image; // kept open across the chunks of one download

        Download() = default;
        Download(const Download&) = delete;
        Download& operator=(const Download&) = delete;
        ~Download();
    };

    void ensurePlaces();
    uint32_t fail(uint32_t rc, const std::string& what);
    uint32_t initLib(const uint8_t* rec, uint8_t* data, uint32_t size);
    uint32_t exitLib(const uint8_t* rec, uint32_t size);
    uint32_t pdList(const uint8_t* rec, uint8_t* data, uint32_t size);
    uint32_t passThru(const uint8_t* rec, uint8_t* data, uint32_t size);
    uint32_t writeBuffer(const std::string& where, const Controller& c, const Device& d,
                         uint8_t* pt, uint32_t len, uint32_t size);
    const Controller* findController(uint32_t id) const;
    static const Device* findDevice(const Controller& c, uint16_t id);
    const Fault* findFault(const Controller& c, uint16_t dev, uint8_t opcode, int evpd,
                           uint32_t chunk, std::string& note);
    static std::string applyFault(const Fault& f, uint8_t* pt, uint32_t& rc);
    void holdChunk(const Controller& c, const Device& d, uint32_t chunk);

    PlacesSource m_placesSource;
    TopologySource m_topologySource;
    bool m_placesKnown = false;
    Places m_places;
    bool m_initialised = false;
    Fd m_trace;
    std::string m_tracePath;
    Topology m_topo;
    std::map<std::pair<uint32_t, uint16_t>, Download> m_downloads;
    std::set<const Fault*> m_fired; // one-shot faults already used
    std::vector<std::string> m_refusals;
};

} // namespace storelibsim
