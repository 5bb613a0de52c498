// Scenario script of the simulated controller: its starting state and the
// rules that override or disturb its answers. Grammar in sim/ipmi/README.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simipmi
{

// Completion codes the controller uses when it refuses a request; each can be
// changed with a "code" line.
struct RefusalCodes {
    uint8_t noSession = 0xCC;     // session-bound request while no session is open
    uint8_t wrongHandle = 0xCC;   // session-bound request with another handle
    uint8_t secondSession = 0x01; // session open while one is open
    uint8_t disabled = 0x05;      // session open while access is disabled
    uint8_t unsupported = 0xC1;   // unknown command or sub-command
    uint8_t badLength = 0xC7;     // request shorter than the command needs
    uint8_t badSlot = 0xC9;       // partition slot that does not exist
    uint8_t attached = 0x08;      // delete of a partition still attached
};

struct PartitionSpec {
    bool dynamic = false;
    unsigned slot = 0; // 0..7
    std::string name;  // up to 6 characters
    bool attached = false;
};

struct Rule {
    unsigned line = 0; // script line, reported in the request log
    // Selector: -1 is a wildcard.
    int netfn = -1;
    int cmd = -1;
    std::vector<int> prefix; // request data prefix, -1 per wildcard byte
    unsigned skip = 0;       // let this many matching requests pass first
    unsigned times = 0;      // then act on this many (0: on all)

    // Answer instead of the controller.
    bool hasCc = false;
    uint8_t cc = 0;
    bool hasData = false;
    std::vector<uint8_t> data;
    // Disturb the delivery.
    bool silent = false;
    // Never answer, and keep the sender waiting in its send (the point where
    // a test kills the process).
    bool hold = false;
    unsigned delayMs = 0;
    unsigned stale = 0;
    int sendErrno = 0;
    int length = -1; // pad or cut the reply data to this many bytes
    // Pending: answer "pending" now and finish after this many status polls.
    bool pending = false;
    unsigned pendingPolls = 0;
    uint8_t finalStatus = 0;

    unsigned seen = 0; // matching requests so far (runtime)
};

struct Script {
    uint8_t generation = 0x30; // a 14G system
    uint8_t repositoryType = 0x00;
    uint8_t accessState = 0x00;
    uint16_t handle = 0x1234;
    std::vector<PartitionSpec> partitions;
    bool devicesScripted = false;
    std::vector<std::string> devices;
    RefusalCodes codes;
    std::vector<Rule> rules;
    std::string error; // "line N: ..." for the first problem found; empty when clean
};

// Parses script text; problems end up in Script::error, the lines before the
// first bad one still count.
Script parseScript(const std::string& text);

// Reads and parses a file; a file that cannot be read is an error too.
Script loadScript(const std::string& path);

// Errno value of a name such as "EIO" or a decimal number; 0 when unknown.
int errnoFromName(const std::string& name);

} // namespace simipmi
