// OEM command layer: the maker's repository requests (network function 0x30)
// to the management controller through the IPMI library front, with the
// controller's status codes turned into retries, waits and results.
//
// Results: 0 success, 1 failure, 2 still pending, other values a controller
// status code.
#pragma once

#include <cstdint>
#include <string>

#include "OEMRequests.h"
#include "VEXIPMICommandData.h"

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
