#pragma once

// One simulated switch as a SCSI logical unit: the answers the kernel-target
// front gives, from the same topology and switch model as the simulated
// library. Knows nothing of the ring that carries the commands.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Topology.h"

namespace storelibsim
{

struct ScsiAnswer {
    uint8_t status = 0;          // SCSI status
    std::vector<uint8_t> sense;  // with CHECK CONDITION
    std::vector<uint8_t> dataIn; // at most the transfer length
};

class SwitchTarget
{
public:
    // `imagePath`: where WRITE BUFFER data goes (empty: not kept);
    // `tracePath`: one line per command (empty: none).
    SwitchTarget(const Controller& controller, const Device& device, std::string imagePath,
                 std::string tracePath);
    ~SwitchTarget();
    SwitchTarget(const SwitchTarget&) = delete;
    SwitchTarget& operator=(const SwitchTarget&) = delete;

    // `data` holds `length` bytes: what the initiator sent for a write, the
    // buffer to fill for a read (its length is the transfer length, which
    // may differ from the CDB's allocation length).
    ScsiAnswer Handle(const uint8_t* cdb, const uint8_t* data, size_t length);

    // Called with the 1-based chunk number before a WRITE BUFFER chunk is taken.
    std::function<void(uint32_t)> beforeChunk;

    static size_t CdbLength(uint8_t opcode);

private:
    ScsiAnswer handle(const uint8_t* cdb, const uint8_t* data, size_t length, std::string& note);
    ScsiAnswer inquiry(const uint8_t* cdb, size_t length);
    ScsiAnswer readBuffer(const uint8_t* cdb, size_t length);
    ScsiAnswer writeBuffer(const uint8_t* cdb, const uint8_t* data, size_t length,
                           std::string& note);
    const Fault* fault(uint8_t opcode, int evpd, uint32_t chunk);
    void trace(const std::string& line);

    Controller m_controller;
    Device m_device;
    std::string m_imagePath;
    int m_image = -1;
    int m_trace = -1;
    uint32_t m_nextOffset = 0;
    uint32_t m_chunks = 0;
    std::set<size_t> m_fired;
};

ScsiAnswer CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq);

} // namespace storelibsim
