// The requests the access layer sends to the management controller, one
// builder per request: named fields in, the request bytes (from the network
// function on, as long as the request is) and the response length out.
// Request bytes not named are 0. Beside them the readers of the answers:
// the answer's fields by name, its length checked once.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "OEMCommands.h"
#include "VEXIPMICommandData.h"

struct OEMRequest {
    std::vector<uint8_t> bytes;
    unsigned responseLength = 0;
};

namespace oemrequest
{

// Repository sub-commands (command 0xA2). `handle` is the session handle.
OEMRequest BeginSession(uint16_t timeoutSeconds);
OEMRequest BeginSessionExtended(uint16_t timeoutSeconds);
OEMRequest EndSession(uint16_t handle);
OEMRequest PartitionIndex(uint16_t handle);
OEMRequest PartitionInfo(uint16_t handle, bool dynamicTable, uint8_t slot);
// Slot maps as host values, sent low byte first.
OEMRequest Detach(uint16_t handle, uint16_t staticSlots, uint16_t dynamicSlots);
// The partition's slot bits already in wire order, sent low byte first.
OEMRequest DeleteDynamicPartition(uint16_t handle, uint16_t wireSlots);
OEMRequest SetStateFlag(uint16_t handle, uint8_t flag);
OEMRequest StatusPoll(uint16_t handle, uint8_t followedSubCommand);

// The other OEM requests and the standard one.
OEMRequest RepositoryType();
OEMRequest AccessState();
OEMRequest SystemGeneration();
OEMRequest ColdReset();

} // namespace oemrequest

// Writes the request bytes from byte 0 and both lengths into the record;
// what lies beyond the request is left as it was.
void PutRequest(_VEXIPMICommandData& record, const OEMRequest& request);

// An answer as the record holds it: the response bytes from the network
// function on and how many of them the controller sent. A record whose
// request got no answer keeps the length it asked for over cleared bytes.
struct OEMAnswer {
    const uint8_t* bytes = nullptr;
    unsigned length = 0;
};

OEMAnswer AnswerOf(_VEXIPMICommandData& record);

// One reader per answer: its fields by name, or nothing when the answer
// ends before its last field, so that a short answer is never read as the
// zeros behind it.
namespace oemanswer
{

// Every answer: the completion code.
struct Completion {
    uint8_t code;
};
std::optional<Completion> ReadCompletion(const OEMAnswer& answer);

// Every repository sub-command's answer: the session handle, 0 for none.
struct Session {
    uint16_t handle;
};
std::optional<Session> ReadSession(const OEMAnswer& answer);

// PartitionIndex: the slot maps of the static and the dynamic table.
struct PartitionIndex {
    uint16_t staticMap;
    uint16_t dynamicMap;
};
std::optional<PartitionIndex> ReadPartitionIndex(const OEMAnswer& answer);

// PartitionInfo: the partition's name, NUL-padded.
struct PartitionInfo {
    std::array<uint8_t, 6> name;
};
std::optional<PartitionInfo> ReadPartitionInfo(const OEMAnswer& answer);

// StatusPoll: the status of the sub-command followed.
struct StatusPoll {
    uint8_t status;
};
std::optional<StatusPoll> ReadStatusPoll(const OEMAnswer& answer);

// RepositoryType: the raw type, 0 to 2 for a repository present.
struct RepositoryType {
    uint8_t type;
};
std::optional<RepositoryType> ReadRepositoryType(const OEMAnswer& answer);

// AccessState: the repository's access state.
struct AccessState {
    uint8_t state;
};
std::optional<AccessState> ReadAccessState(const OEMAnswer& answer);

// SystemGeneration: the generation code.
struct SystemGeneration {
    uint8_t generation;
};
std::optional<SystemGeneration> ReadSystemGeneration(const OEMAnswer& answer);

// The log line for an answer a reader refused: the name of the request the
// record holds and the length that came.
std::string ShortAnswer(_VEXIPMICommandData& record);

} // namespace oemanswer

// The completion code of the answer the record holds, set and taken as it
// stands: for the status handling, once the answer was found to carry one.
void PutCompletion(_VEXIPMICommandData& record, uint8_t code);
uint8_t CompletionOf(_VEXIPMICommandData& record);
