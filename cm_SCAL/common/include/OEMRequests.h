// The requests the access layer sends to the management controller, one
// builder per request: named fields in, the request bytes (from the network
// function on, as long as the request is) and the response length out.
// Request bytes not named are 0.
#pragma once

#include <cstdint>
#include <vector>

#include "VEXIPMICommandData.h"

// OEM command bytes.
enum eOEMIPMIRequestType : uint8_t {
    eCorvelCommand = 0xA2,     // repository sub-commands
    eCorvelType = 0xAD,        // repository type
    eCorvelAccessState = 0xAE, // repository access state
};

const uint8_t kOEMNetFn = 0x30;
const uint8_t kSystemGenerationCmd = 0xBD;

// Repository sub-commands (command 0xA2): enumerator, code, the name the
// request dump shows, and whether the request only reads (Query) or may
// change the controller's state (Change). The one list the enum, the names
// and the overrun rule come from.
#define LUMO_CORVEL_SUBCOMMANDS(X)                                                                 \
    X(eBeginCORVELSession, 0x00, "BeginCORVELSession", Change)                                     \
    X(eEndCORVELSession, 0x01, "EndCORVELSession", Change)                                         \
    X(eResetCORVELSessionWD, 0x02, "ResetCORVELSessionWD", Change)                                 \
    X(eGetPartitionIndexInfo, 0x03, "Getpartitionindexinfo", Query)                                \
    X(eGetPartitionInfo, 0x04, "GetPartitionInfo", Query)                                          \
    X(eAttachPartitions, 0x05, "AttachPartitions", Change)                                         \
    X(eDetachPartitions, 0x06, "DetachPartitions", Change)                                         \
    X(eCreateDynamicPartition, 0x07, "CreateDynamicPartition", Change)                             \
    X(eDeleteDynamicPartition, 0x08, "DeleteDynamicPartition", Change)                             \
    X(eSecureCORVELUpdate, 0x09, "SecureCORVELUpdate", Change)                                     \
    X(eGetCORVELStatus, 0x0A, "GetCORVELStatus", Query)                                            \
    X(eChangePartitionAccessType, 0x0B, "ChangePartitionAccessType", Change)                       \
    X(eRegisterSSIBTask, 0x0C, "RegisterSSIBTask", Change)                                         \
    X(eGetStateFlag, 0x10, "getStateFlagCmd", Query)                                               \
    X(eSetStateFlag, 0x11, "setStateFlagCmd", Change)                                              \
    X(eBeginCORVELSessionExtended, 0x12, "BeginCORVELSessionExtended", Change)                     \
    X(eBeginSecureUpdate, 0x20, "BeginSecureUpdate", Change)                                       \
    X(eProcessSecureUpdate, 0x22, "ProcessSecureUpdate", Change)                                   \
    X(eEndSecureUpdate, 0x23, "EndSecureUpdate", Change)                                           \
    X(eGetVantorSystemInfo, 0x30, "GetVantorSystemInfo", Change)

#define LUMO_CORVEL_ENUMERATOR(name, code, text, kind) name = code,
enum eCorvelSubCommand : uint8_t { LUMO_CORVEL_SUBCOMMANDS(LUMO_CORVEL_ENUMERATOR) };
#undef LUMO_CORVEL_ENUMERATOR

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
