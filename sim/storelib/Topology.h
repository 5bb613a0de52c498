#pragma once

// What the simulated storage library serves: controllers, the devices behind
// them, and the faults to inject. Read from a small line-based text file; see
// README.md beside this file for the format.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace storelibsim
{

struct Fault {
    uint16_t deviceId = 0;
    uint8_t opcode = 0;
    int evpd = -1;       // INQUIRY only: 1 = VPD page, 0 = standard, -1 = both
    uint32_t chunk = 0;  // WRITE BUFFER only: 1-based chunk to reject, 0 = any command
    uint32_t result = 0; // library result, when non-zero
    uint8_t status = 0;  // SCSI status, when result is 0
    int signal = 0;      // with neither: the command succeeds, and this signal is
                         // raised in the calling process while it is under way
    bool hold = false;   // WRITE BUFFER only: the chunk is held (below) before it is taken
    std::vector<uint8_t> sense;
    bool once = false; // fires on the first matching command only
};

struct Device {
    uint16_t id = 0;
    uint8_t type = 0;                // SCSI peripheral device type
    std::string serial;              // VPD page 80h product serial, sent as is
    std::string vendor = "SIMLUMO "; // standard INQUIRY, padded or cut to 8
    std::string product;             // standard INQUIRY, padded or cut to 16
    uint8_t revision[4] = {0, 0, 0, 0};
    bool keepImage = true; // write what WRITE BUFFER delivers to a file
    int vpdLength = -1;    // page-length byte override, -1 = serial length
    bool hasVpdRaw = false;
    std::vector<uint8_t> vpdRaw; // whole VPD answer override
    bool hasInquiryRaw = false;
    std::vector<uint8_t> inquiryRaw; // whole standard INQUIRY answer override
    bool hasReadBufferRaw = false;
    std::vector<uint8_t> readBufferRaw;
};

struct Controller {
    uint32_t id = 0;
    uint32_t pdListResult = 0;
    int pdListCount = -1; // count field override, -1 = number of devices
    std::vector<Device> devices;
    std::vector<Fault> faults;
};

struct Topology {
    uint32_t initResult = 0;
    int initCount = -1; // count field override, -1 = number of controllers
    std::vector<Controller> controllers;
};

// Parses the file; on failure returns false with a message naming the line.
bool LoadTopology(const std::string& path, Topology& out, std::string& error);
bool ParseTopology(const std::string& text, Topology& out, std::string& error);

} // namespace storelibsim
