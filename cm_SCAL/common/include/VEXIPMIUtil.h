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

// Repository sub-commands (command 0xA2) this program sends.
enum eCorvelSubCommand : uint8_t {
    eBeginCORVELSession = 0x00,
    eEndCORVELSession = 0x01,
    eGetPartitionIndexInfo = 0x03,
    eGetPartitionInfo = 0x04,
    eDetachPartitions = 0x06,
    eDeleteDynamicPartition = 0x08,
    eGetCORVELStatus = 0x0A,
    eSetStateFlag = 0x11,
    eBeginCORVELSessionExtended = 0x12,
};

// The access layer's one request record; requests go strictly one at a time.
extern _VEXIPMICommandData IPMIReqBuf;
// The poller's own record.
extern _VEXIPMICommandData PollReqBuf;

unsigned InitVEXIPMILibrary();
unsigned ReleaseVEXIPMILibrary();

unsigned OEMIPMIRequest(uint8_t requestType, uint8_t subCommand, _VEXIPMICommandData* record,
                        unsigned requestLength, unsigned responseLength);
unsigned ProcessCorvelIPMICommand(_VEXIPMICommandData* record);
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
