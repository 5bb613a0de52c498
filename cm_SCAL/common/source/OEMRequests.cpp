#include "OEMRequests.h"

#include <cstring>

#include "VEXIPMIUtil.h" // the record accessors

namespace
{

// Field offsets shared by the repository sub-commands.
const unsigned kSubCommandOffset = 2;
const unsigned kHandleOffset = 3;
const unsigned kFirstParameter = 5;

void PutLE16(std::vector<uint8_t>& bytes, unsigned offset, uint16_t value)
{
    bytes[offset] = static_cast<uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

OEMRequest Request(uint8_t netFn, uint8_t command, unsigned length, unsigned responseLength)
{
    OEMRequest request;
    request.bytes.assign(length, 0);
    request.bytes[0] = netFn;
    request.bytes[1] = command;
    request.responseLength = responseLength;
    return request;
}

OEMRequest Repository(eCorvelSubCommand subCommand, unsigned length, unsigned responseLength)
{
    OEMRequest request = Request(kOEMNetFn, eCorvelCommand, length, responseLength);
    request.bytes[kSubCommandOffset] = subCommand;
    return request;
}

OEMRequest WithHandle(eCorvelSubCommand subCommand, uint16_t handle, unsigned length,
                      unsigned responseLength)
{
    OEMRequest request = Repository(subCommand, length, responseLength);
    PutLE16(request.bytes, kHandleOffset, handle);
    return request;
}

OEMRequest Open(eCorvelSubCommand subCommand, uint8_t mode, uint16_t timeoutSeconds)
{
    OEMRequest request = Repository(subCommand, 8, 9);
    request.bytes[3] = mode;
    PutLE16(request.bytes, 4, timeoutSeconds);
    return request;
}

} // namespace

namespace oemrequest
{

OEMRequest BeginSession(uint16_t timeoutSeconds)
{
    return Open(eBeginCORVELSession, 0x00, timeoutSeconds);
}

OEMRequest BeginSessionExtended(uint16_t timeoutSeconds)
{
    return Open(eBeginCORVELSessionExtended, 0x02, timeoutSeconds);
}

OEMRequest EndSession(uint16_t handle)
{
    return WithHandle(eEndCORVELSession, handle, 7, 5);
}

OEMRequest PartitionIndex(uint16_t handle)
{
    return WithHandle(eGetPartitionIndexInfo, handle, 7, 13);
}

OEMRequest PartitionInfo(uint16_t handle, bool dynamicTable, uint8_t slot)
{
    OEMRequest request = WithHandle(eGetPartitionInfo, handle, 9, 14);
    request.bytes[kFirstParameter] = dynamicTable ? 0x80 : 0x00;
    request.bytes[6] = slot;
    return request;
}

OEMRequest Detach(uint16_t handle, uint16_t staticSlots, uint16_t dynamicSlots)
{
    OEMRequest request = WithHandle(eDetachPartitions, handle, 13, 7);
    PutLE16(request.bytes, kFirstParameter, staticSlots);
    PutLE16(request.bytes, 9, dynamicSlots);
    return request;
}

OEMRequest DeleteDynamicPartition(uint16_t handle, uint16_t wireSlots)
{
    OEMRequest request = WithHandle(eDeleteDynamicPartition, handle, 11, 11);
    PutLE16(request.bytes, kFirstParameter, wireSlots);
    return request;
}

OEMRequest SetStateFlag(uint16_t handle, uint8_t flag)
{
    OEMRequest request = WithHandle(eSetStateFlag, handle, 7, 7);
    request.bytes[6] = flag;
    return request;
}

OEMRequest StatusPoll(uint16_t handle, uint8_t followedSubCommand)
{
    OEMRequest request = WithHandle(eGetCORVELStatus, handle, 8, 7);
    request.bytes[kFirstParameter] = followedSubCommand;
    return request;
}

OEMRequest RepositoryType()
{
    return Request(kOEMNetFn, eCorvelType, 4, 6);
}

OEMRequest AccessState()
{
    return Request(kOEMNetFn, eCorvelAccessState, 4, 6);
}

OEMRequest SystemGeneration()
{
    return Request(kOEMNetFn, kSystemGenerationCmd, 2, 9);
}

OEMRequest ColdReset()
{
    return Request(kAppNetFn, kColdResetCmd, 2, 0);
}

} // namespace oemrequest

void PutRequest(_VEXIPMICommandData& record, const OEMRequest& request)
{
    std::memcpy(IPMIRequestBytes(record), request.bytes.data(), request.bytes.size());
    SetIPMILengths(record, static_cast<unsigned>(request.bytes.size()), request.responseLength);
}
