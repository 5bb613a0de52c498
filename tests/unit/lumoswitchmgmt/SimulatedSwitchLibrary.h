// The simulated storage library (sim/storelib's core) behind the device
// manager's storage seam, in process: the unit tests and the simulator share
// one model of the switches. The adapter only hands the records to the
// library and keeps the log of what was sent.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Library.h"
#include "Topology.h"

namespace mgmttest
{

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpReadBuffer = 0x3C;
constexpr uint8_t kOpWriteBuffer = 0x3B;

inline uint16_t Le16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A switch as the tests meet it unless they say otherwise.
inline storelibsim::Device Switch(uint16_t id, uint8_t type, const std::string& serial)
{
    storelibsim::Device d;
    d.id = id;
    d.type = type;
    d.serial = serial;
    d.product = "LUMO PCIe Switch";
    const uint8_t revision[4] = {1, 2, 10, 0};
    std::copy(revision, revision + 4, d.revision);
    return d;
}

inline storelibsim::Controller Controller(uint32_t id,
                                          std::vector<storelibsim::Device> devices = {})
{
    storelibsim::Controller c;
    c.id = id;
    c.devices = std::move(devices);
    return c;
}

// The library answers `result` to the command `opcode` for device `dev`
// (INQUIRY: `evpd` 1 the serial page, 0 the standard form, -1 both).
inline storelibsim::Fault ResultFault(uint16_t dev, uint8_t opcode, uint32_t result, int evpd = -1)
{
    storelibsim::Fault f;
    f.deviceId = dev;
    f.opcode = opcode;
    f.evpd = evpd;
    f.result = result;
    return f;
}

// Fixed-format sense of an ILLEGAL REQUEST, what a switch refusing a chunk
// says when a test names nothing else.
inline const Bytes kIllegalRequest = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00};

// Chunk `chunk` (1-based) of a download into `dev` is answered with the
// library result `result`, or with SCSI `status` and its `sense`.
inline storelibsim::Fault ChunkFault(uint16_t dev, uint32_t chunk, uint32_t result, uint8_t status,
                                     const Bytes& sense = kIllegalRequest)
{
    storelibsim::Fault f;
    f.deviceId = dev;
    f.opcode = kOpWriteBuffer;
    f.chunk = chunk;
    f.result = result;
    f.status = status;
    if (status != 0) {
        f.sense = sense;
    }
    return f;
}

// Signal `signal` arrives while chunk `chunk` (1-based) of a download into
// `dev` is under way; the switch takes the chunk.
inline storelibsim::Fault SignalFault(uint16_t dev, uint32_t chunk, int signal)
{
    storelibsim::Fault f;
    f.deviceId = dev;
    f.opcode = kOpWriteBuffer;
    f.chunk = chunk;
    f.signal = signal;
    return f;
}

// One WRITE BUFFER record as the program sent it.
struct Chunk {
    uint32_t ctrlId;
    uint16_t deviceId;
    uint32_t recordSize;
    Bytes header; // the 64 header bytes
    Bytes data;
};

class SimulatedSwitchLibrary
{
public:
    SimulatedSwitchLibrary()
        : m_library(
              [this] {
                  return storelibsim::Places{"", outDir};
              },
              [this](const std::string&, storelibsim::Topology& out, std::string&) {
                  out = topology;
                  return true;
              })
    {
    }

    // What the library serves, taken again at every SL_INIT_LIB.
    storelibsim::Topology topology;
    // Where it keeps its trace and the images the switches received.
    std::string outDir;

    // What the program sent.
    std::vector<Chunk> chunks;
    int pdListCommands = 0;
    int vpdInquiries = 0;

    // The library's entry point.
    uint32_t operator()(uint8_t* rec)
    {
        note(rec);
        const size_t refused = m_library.refusals().size();
        const uint32_t rc = m_library.handle(rec);
        // The simulator refuses what the program should never send.
        for (size_t i = refused; i < m_library.refusals().size(); ++i) {
            ADD_FAILURE() << "the simulated library refused: " << m_library.refusals()[i];
        }
        return rc;
    }

    // Initialises the library directly, as the discovery of the same run
    // would have; not part of what the program sent.
    void InitialiseBeforehand()
    {
        std::vector<uint8_t> list(260, 0);
        std::vector<uint8_t> rec(40, 0);
        rec[2] = 1; // as the program asks: AppsSupportEXTConfig
        rec[28] = uint8_t(list.size());
        rec[29] = uint8_t(list.size() >> 8);
        const uint64_t data = reinterpret_cast<uintptr_t>(list.data());
        for (int i = 0; i < 8; ++i) {
            rec[32 + i] = uint8_t(data >> (8 * i));
        }
        EXPECT_EQ(0u, m_library.handle(rec.data()));
    }

    // Adds the fault to the controller that holds its device.
    void addFault(const storelibsim::Fault& fault)
    {
        for (storelibsim::Controller& c : topology.controllers) {
            for (const storelibsim::Device& d : c.devices) {
                if (d.id == fault.deviceId) {
                    c.faults.push_back(fault);
                    return;
                }
            }
        }
        ADD_FAILURE() << "no controller holds device " << fault.deviceId;
    }

    void clearFaults()
    {
        for (storelibsim::Controller& c : topology.controllers) {
            c.faults.clear();
        }
    }

    std::vector<Chunk> chunksOf(uint16_t deviceId) const
    {
        std::vector<Chunk> out;
        for (const Chunk& c : chunks) {
            if (c.deviceId == deviceId) {
                out.push_back(c);
            }
        }
        return out;
    }

private:
    void note(const uint8_t* rec)
    {
        uint64_t address = 0;
        for (int i = 7; i >= 0; --i) {
            address = address << 8 | rec[32 + i];
        }
        const uint8_t* data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
        const uint32_t size = Le32(rec + 28);
        if (rec[0] == 1 && rec[1] == 4) {
            ++pdListCommands;
        }
        if (rec[0] != 6 || rec[1] != 0 || data == nullptr || size < 64) {
            return;
        }
        const uint8_t* cdb = data + 12;
        if (cdb[0] == kOpInquiry && (cdb[1] & 1) != 0) {
            ++vpdInquiries;
        }
        if (cdb[0] == kOpWriteBuffer) {
            const uint32_t len = Le32(data + 60);
            const size_t take = size - 64 < len ? size - 64 : len;
            chunks.push_back(Chunk{Le32(rec + 4), Le16(rec + 8), size, Bytes(data, data + 64),
                                   Bytes(data + 64, data + 64 + take)});
        }
    }

    storelibsim::Library m_library;
};

} // namespace mgmttest
