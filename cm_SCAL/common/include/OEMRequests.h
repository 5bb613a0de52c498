// The requests the access layer sends to the management controller, one
// builder per request: named fields in, the request bytes (from the network
// function on, as long as the request is) and the response length out.
// Request bytes not named are 0.
#pragma once

#include <cstdint>
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
