#include "OEMRequests.h"

#include <cstring>

#include "ByteOrder.h"
#include "VEXIPMIUtil.h" // the record accessors

namespace
{

// Field offsets shared by the repository sub-commands.
const unsigned kSubCommandOffset = 2;
const unsigned kHandleOffset = 3;
const unsigned kFirstParameter = 5;

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
    byteorder::PutLE16(request.bytes.data() + kHandleOffset, handle);
    return request;
}

OEMRequest Open(eCorvelSubCommand subCommand, uint8_t mode, uint16_t timeoutSeconds)
{
    OEMRequest request = Repository(subCommand, 8, 9);
    request.bytes[3] = mode;
    byteorder::PutLE16(request.bytes.data() + 4, timeoutSeconds);
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
    byteorder::PutLE16(request.bytes.data() + kFirstParameter, staticSlots);
    byteorder::PutLE16(request.bytes.data() + 9, dynamicSlots);
    return request;
}

OEMRequest DeleteDynamicPartition(uint16_t handle, uint16_t wireSlots)
{
    OEMRequest request = WithHandle(eDeleteDynamicPartition, handle, 11, 11);
    byteorder::PutLE16(request.bytes.data() + kFirstParameter, wireSlots);
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

namespace
{

// Answer offsets; the completion code and the handle are every answer's.
const unsigned kCompletionOffset = 2;
const unsigned kHandleAnswerOffset = 3;
const unsigned kStateOffset = 3; // repository type, access state
const unsigned kStaticMapOffset = 5;
const unsigned kDynamicMapOffset = 9;
const unsigned kNameOffset = 7;
const unsigned kPollStatusOffset = 5;
const unsigned kGenerationOffset = 8;

// True when the answer reaches `width` bytes from `offset`.
bool Holds(const OEMAnswer& answer, unsigned offset, unsigned width)
{
    return answer.bytes != nullptr && answer.length >= offset + width;
}

// An answer's one field of one byte.
template <typename Fields> std::optional<Fields> OneByte(const OEMAnswer& answer, unsigned offset)
{
    if (!Holds(answer, offset, 1)) {
        return std::nullopt;
    }
    return Fields{answer.bytes[offset]};
}

// The name of the request the record holds, from the command list.
std::string RequestName(_VEXIPMICommandData& record)
{
    const uint8_t* request = IPMIRequestBytes(record);
    const char* name = request[1] == eCorvelCommand
                           ? oemcommands::SubCommandName(request[2])
                           : oemcommands::CommandName(request[0], request[1]);
    return name != nullptr ? name : "";
}

} // namespace

OEMAnswer AnswerOf(_VEXIPMICommandData& record)
{
    return OEMAnswer{IPMIResponseBytes(record), IPMIResponseLength(record)};
}

void PutCompletion(_VEXIPMICommandData& record, uint8_t code)
{
    IPMIResponseBytes(record)[kCompletionOffset] = code;
}

uint8_t CompletionOf(_VEXIPMICommandData& record)
{
    return IPMIResponseBytes(record)[kCompletionOffset];
}

namespace oemanswer
{

std::optional<Completion> ReadCompletion(const OEMAnswer& answer)
{
    return OneByte<Completion>(answer, kCompletionOffset);
}

std::optional<Session> ReadSession(const OEMAnswer& answer)
{
    if (!Holds(answer, kHandleAnswerOffset, 2)) {
        return std::nullopt;
    }
    return Session{byteorder::GetLE16(answer.bytes + kHandleAnswerOffset)};
}

// The maps come high byte first, unlike the handle before them.
std::optional<PartitionIndex> ReadPartitionIndex(const OEMAnswer& answer)
{
    if (!Holds(answer, kDynamicMapOffset, 2)) {
        return std::nullopt;
    }
    return PartitionIndex{byteorder::GetBE16(answer.bytes + kStaticMapOffset),
                          byteorder::GetBE16(answer.bytes + kDynamicMapOffset)};
}

std::optional<PartitionInfo> ReadPartitionInfo(const OEMAnswer& answer)
{
    PartitionInfo info{};
    if (!Holds(answer, kNameOffset, static_cast<unsigned>(info.name.size()))) {
        return std::nullopt;
    }
    std::memcpy(info.name.data(), answer.bytes + kNameOffset, info.name.size());
    return info;
}

std::optional<StatusPoll> ReadStatusPoll(const OEMAnswer& answer)
{
    return OneByte<StatusPoll>(answer, kPollStatusOffset);
}

std::optional<RepositoryType> ReadRepositoryType(const OEMAnswer& answer)
{
    return OneByte<RepositoryType>(answer, kStateOffset);
}

std::optional<AccessState> ReadAccessState(const OEMAnswer& answer)
{
    return OneByte<AccessState>(answer, kStateOffset);
}

std::optional<SystemGeneration> ReadSystemGeneration(const OEMAnswer& answer)
{
    return OneByte<SystemGeneration>(answer, kGenerationOffset);
}

std::string ShortAnswer(_VEXIPMICommandData& record)
{
    return RequestName(record) + ": answer of " + std::to_string(AnswerOf(record).length) +
           " bytes ends before the fields it must hold";
}

} // namespace oemanswer
