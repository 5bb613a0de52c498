// OEM command layer: the maker's repository requests (network function 0x30)
// to the management controller through the IPMI library front, with the
// controller's status codes turned into retries, waits and results.
//
// Results: 0 success, 1 failure, 2 still pending, other values a controller
// status code.
#pragma once

#include <cstdint>
#include <string>

#include "VEXIPMICommandData.h"

// OEM command bytes.
enum eOEMIPMIRequestType : uint8_t {
    eCorvelCommand = 0xA2,     // repository sub-commands
    eCorvelType = 0xAD,        // repository type
    eCorvelAccessState = 0xAE, // repository access state
};

const uint8_t kOEMNetFn = 0x30;
const uint8_t kSystemGenerationCmd = 0xBD;

// Repository sub-commands (command 0xA2): enumerator, code, and the name the
// request dump shows. The one list both the enum and the names come from.
#define LUMO_CORVEL_SUBCOMMANDS(X)                                                                 \
    X(eBeginCORVELSession, 0x00, "BeginCORVELSession")                                             \
    X(eEndCORVELSession, 0x01, "EndCORVELSession")                                                 \
    X(eResetCORVELSessionWD, 0x02, "ResetCORVELSessionWD")                                         \
    X(eGetPartitionIndexInfo, 0x03, "Getpartitionindexinfo")                                       \
    X(eGetPartitionInfo, 0x04, "GetPartitionInfo")                                                 \
    X(eAttachPartitions, 0x05, "AttachPartitions")                                                 \
    X(eDetachPartitions, 0x06, "DetachPartitions")                                                 \
    X(eCreateDynamicPartition, 0x07, "CreateDynamicPartition")                                     \
    X(eDeleteDynamicPartition, 0x08, "DeleteDynamicPartition")                                     \
    X(eSecureCORVELUpdate, 0x09, "SecureCORVELUpdate")                                             \
    X(eGetCORVELStatus, 0x0A, "GetCORVELStatus")                                                   \
    X(eChangePartitionAccessType, 0x0B, "ChangePartitionAccessType")                               \
    X(eRegisterSSIBTask, 0x0C, "RegisterSSIBTask")                                                 \
    X(eGetStateFlag, 0x10, "getStateFlagCmd")                                                      \
    X(eSetStateFlag, 0x11, "setStateFlagCmd")                                                      \
    X(eBeginCORVELSessionExtended, 0x12, "BeginCORVELSessionExtended")                             \
    X(eBeginSecureUpdate, 0x20, "BeginSecureUpdate")                                               \
    X(eProcessSecureUpdate, 0x22, "ProcessSecureUpdate")                                           \
    X(eEndSecureUpdate, 0x23, "EndSecureUpdate")                                                   \
    X(eGetVantorSystemInfo, 0x30, "GetVantorSystemInfo")

#define LUMO_CORVEL_ENUMERATOR(name, code, text) name = code,
enum eCorvelSubCommand : uint8_t { LUMO_CORVEL_SUBCOMMANDS(LUMO_CORVEL_ENUMERATOR) };
#undef LUMO_CORVEL_ENUMERATOR

// The access layer's one request record; requests go strictly one at a time.
extern _VEXIPMICommandData IPMIReqBuf;
// The poller's own record.
extern _VEXIPMICommandData PollReqBuf;

unsigned InitVEXIPMILibrary();
unsigned ReleaseVEXIPMILibrary();

unsigned OEMIPMIRequest(uint8_t requestType, uint8_t subCommand, _VEXIPMICommandData* record,
                        unsigned requestLength, unsigned responseLength);
unsigned ProcessCorvelIPMICommand(_VEXIPMICommandData* record);
// A built OEM request through the record (cleared first), as OEMIPMIRequest
// sends it.
struct OEMRequest;
unsigned SendOEMRequest(_VEXIPMICommandData& record, const OEMRequest& request);
unsigned GetErrorCode(_VEXIPMICommandData* record);
std::string getIPMICommandName(uint8_t subCommand);
bool ProcessIPMIReuestResponseUsingVEXIPMI(_VEXIPMICommandData* record);
bool ProcessIPMICommand(_VEXIPMICommandData* record);
unsigned rstTivra();

// Byte access to a record, so callers never depend on its field layout.
uint8_t* IPMIRequestBytes(_VEXIPMICommandData& record);
uint8_t* IPMIResponseBytes(_VEXIPMICommandData& record);
unsigned IPMIRequestLength(const _VEXIPMICommandData& record);
unsigned IPMIResponseLength(const _VEXIPMICommandData& record);
void SetIPMILengths(_VEXIPMICommandData& record, unsigned requestLength, unsigned responseLength);
void ClearIPMIRecord(_VEXIPMICommandData& record);
