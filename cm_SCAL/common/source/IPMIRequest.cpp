#include <cstring>

#include "Interruption.h"
#include "OEMRequests.h"
#include "ScalFormat.h"
#include "ScalSeams.h"
#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/IPMIRequest";

namespace
{

const unsigned kCorvelAttempts = 10;
const unsigned kRetryPauseSeconds = 2;
const int kPendingPolls = 3000;

enum class StatusAction { Fail, Pending, Retry, Overrun, ByErrorCode };

struct StatusEntry {
    uint8_t code;
    const char* text;
    StatusAction action;
};

// The controller's status codes that the command layer acts on itself;
// everything else is left to GetErrorCode.
const StatusEntry kStatusTable[] = {
    {0x01, "ESM_STATUS_CMD_NOT_IMPLEMENTED", StatusAction::Fail},
    {0x02, "ESM_STATUS_CMD_PENDING", StatusAction::Pending},
    {0x03, "ESM_STATUS_CMD_TIMEOUT", StatusAction::Retry},
    {0x04, "ESM_STATUS_CMD_CANCELLED", StatusAction::Fail},
    {0x05, "ESM_STATUS_CMD_ABORT", StatusAction::Fail},
    {0x06, "ESM_STATUS_CMD_PENDING", StatusAction::Retry},
    {0x07, "ESM_STATUS_CMD_NO_SUCH_DEVICE", StatusAction::Fail},
    {0x08, "ESM_STATUS_DEVICE_BUSY", StatusAction::Retry},
    {0x09, "ESM_STATUS_CMD_DEVICE_BAD", StatusAction::Fail},
    {0x0A, "ESM_STATUS_CMD_DEVICE_SPURIOUS_INTR", StatusAction::Retry},
    {0x0B, "ESM_STATUS_CMD_RESOURCE_LOCKED", StatusAction::Fail},
    {0x0C, "ESM_STATUS_CMD_INVALID_INDEX", StatusAction::Fail},
    {0x0D, "ESM_STATUS_CMD_ERROR", StatusAction::Fail},
    {0x0E, "ESM_STATUS_CMD_DATA_NOT_READY", StatusAction::Retry},
    {0x0F, "ESM_STATUS_CMD_DATA_UNDERRUN", StatusAction::Fail},
    {0x10, "ESM_STATUS_CMD_DATA_OVERRUN", StatusAction::Overrun},
    {0x11, "ESM_STATUS_DEVICE_NOT_READY", StatusAction::Retry},
    {0x12, "ESM_STATUS_DEVICE_EMPTY", StatusAction::Fail},
    {0x13, "ESM_STATUS_DEVICE_FULL", StatusAction::Fail},
    {0x15, "ESM_STATUS_PENDING_DOIO_QUEUE", StatusAction::Retry},
    {0x16, "ESM_STATUS_PENDING_BUSY_QUEUE", StatusAction::Retry},
};

const StatusEntry* FindStatus(uint8_t code)
{
    for (const StatusEntry& entry : kStatusTable) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

enum class Effect { Query, Change };

struct SubCommandName {
    uint8_t code;
    const char* name;
    Effect effect;
};

#define LUMO_CORVEL_NAME(name, code, text, kind) {name, text, Effect::kind},
const SubCommandName kSubCommandNames[] = {LUMO_CORVEL_SUBCOMMANDS(LUMO_CORVEL_NAME)};
#undef LUMO_CORVEL_NAME

const SubCommandName* FindSubCommand(uint8_t code)
{
    for (const SubCommandName& entry : kSubCommandNames) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

const char* const kTivraResults[] = {
    "TIVRA returned SUCCESS\n",
    "TIVRA returned FAILURE\n",
    "TIVRA returned PENDING\n",
    "TIVRA returned INVALID\n",
    "TIVRA returned OVERFLOW\n",
    "TIVRA returned CORVEL_DISABLED\n",
    "TIVRA returned CORVEL_BMAP_IMAGE_INVALID\n",
    "TIVRA returned CORVEL_SESSION_IN_PROGRESS\n",
    "TIVRA returned CORVEL_PARTITIONS_ATTACHED\n",
};

// A data overrun means the answer was longer than the buffer. For a query
// the bytes asked for did arrive and nothing changed on the controller, so
// the answer stays usable after the last attempt. For a request that changes
// the controller's state the overrun leaves open whether it was carried out:
// taking it as done would let the report promise what never happened.
bool IsPlainQuery(const uint8_t* request)
{
    if (request[1] != eCorvelCommand) {
        return true; // repository type, access state
    }
    const SubCommandName* entry = FindSubCommand(request[2]);
    return entry != nullptr && entry->effect == Effect::Query;
}

const uint8_t kTivraProcessing = 0xFF;
const uint8_t kStatusPending = 0x02;

} // namespace

std::string getIPMICommandName(uint8_t subCommand)
{
    const SubCommandName* entry = FindSubCommand(subCommand);
    return entry != nullptr ? entry->name : "";
}

unsigned GetErrorCode(_VEXIPMICommandData* record)
{
    // Its caller has found that the answer carries the code.
    const uint8_t code = CompletionOf(*record);
    if (code < sizeof(kTivraResults) / sizeof(kTivraResults[0])) {
        secureCorvel::logCorvelMsg(kSrc, __LINE__, kTivraResults[code]);
        return code;
    }
    if (code == kTivraProcessing) {
        // The controller took the request and is still working on it: turn
        // it into the pending path so the caller polls for the end.
        secureCorvel::logCorvelMsg(kSrc, __LINE__, "TIVRA is processing\n");
        PutCompletion(*record, kStatusPending);
        OEMCommandSleeper().SleepSeconds(kRetryPauseSeconds);
        return 2;
    }
    if (bCorvelDebugLog) {
        secureCorvel::logCorvelMsg(kSrc, __LINE__,
                                   "Unrecognized TIVRA return code [0x" + scal::Hex2(code) + "]");
    }
    return 1;
}

unsigned ProcessCorvelIPMICommand(_VEXIPMICommandData* record)
{
    if (record == nullptr) {
        return 1;
    }
    if (bCorvelDebugLog) {
        const uint8_t* request = IPMIRequestBytes(*record);
        std::string name = request[1] == eCorvelCommand ? getIPMICommandName(request[2]) : " ";
        secureCorvel::logCorvelMsg(
            kSrc, __LINE__,
            name + " IPMIRequest[" + scal::DumpBytes(request, IPMIRequestLength(*record)) + "]\n");
    }

    // Every attempt sends exactly what the caller prepared.
    _VEXIPMICommandData original;
    std::memcpy(&original, record, sizeof(original));
    bool paused = false;

    for (unsigned attempt = 1; attempt <= kCorvelAttempts; ++attempt) {
        std::memcpy(record, &original, sizeof(original));
        unsigned rc = OEMCommandIPMI().IsStarted() ? OEMCommandIPMI().Request(record) : 257;
        if (rc != 0) {
            secureCorvel::logCorvelMsg(kSrc, __LINE__,
                                       "ProcessCorvelIPMICommand: RKIPMCommand ERROR \n");
            // Nothing came back, whatever the driver layer put in the
            // completion byte (0x01 for a send that failed): no reader may
            // take that for the controller's refusal.
            SetIPMILengths(*record, IPMIRequestLength(*record), 0);
            return 1;
        }
        if (bCorvelDebugLog) {
            secureCorvel::logCorvelMsg(
                kSrc, __LINE__,
                " IPMIResponse[" +
                    scal::DumpBytes(IPMIResponseBytes(*record), IPMIResponseLength(*record)) +
                    "]\n");
        }

        const auto completion = oemanswer::ReadCompletion(AnswerOf(*record));
        if (!completion) {
            secureCorvel::logCorvelMsg(
                kSrc, __LINE__,
                "ProcessCorvelIPMICommand: " + oemanswer::ShortAnswer(*record) + "\n");
            return 1;
        }
        const StatusEntry* entry = FindStatus(completion->code);
        if (entry == nullptr) {
            return GetErrorCode(record);
        }
        secureCorvel::logCorvelMsg(kSrc, __LINE__, entry->text);
        const bool again =
            entry->action == StatusAction::Retry || entry->action == StatusAction::Overrun;
        if (again && attempt < kCorvelAttempts && interruption::StopRequested()) {
            secureCorvel::logCorvelMsg(kSrc, __LINE__,
                                       "ProcessCorvelIPMICommand: stopped by signal " +
                                           std::to_string(interruption::PendingSignal()) +
                                           " before the next attempt\n");
            return 1;
        }
        switch (entry->action) {
        case StatusAction::Fail:
            return 1;
        case StatusAction::Pending:
            return 2;
        case StatusAction::Retry:
            if (attempt == kCorvelAttempts) {
                return 2;
            }
            OEMCommandSleeper().SleepSeconds(kRetryPauseSeconds);
            paused = true;
            break;
        case StatusAction::Overrun:
            if (attempt == kCorvelAttempts) {
                if (!IsPlainQuery(IPMIRequestBytes(original))) {
                    secureCorvel::logCorvelMsg(
                        kSrc, __LINE__,
                        "ProcessCorvelIPMICommand: data overrun on every attempt of a request "
                        "that changes the controller's state; not taken as done\n");
                    return 1;
                }
                return paused ? 2 : 0;
            }
            if (paused) {
                OEMCommandSleeper().SleepSeconds(kRetryPauseSeconds);
            }
            break;
        case StatusAction::ByErrorCode:
            return GetErrorCode(record);
        }
    }
    return 2;
}

unsigned OEMIPMIRequest(uint8_t requestType, uint8_t subCommand, _VEXIPMICommandData* record,
                        unsigned requestLength, unsigned responseLength)
{
    if (record == nullptr) {
        return 1;
    }
    uint8_t* request = IPMIRequestBytes(*record);
    request[0] = kOEMNetFn;
    request[1] = requestType;
    request[2] = subCommand;
    SetIPMILengths(*record, requestLength, responseLength);
    return ProcessCorvelIPMICommand(record);
}

unsigned SendOEMRequest(_VEXIPMICommandData& record, const OEMRequest& request)
{
    ClearIPMIRecord(record);
    PutRequest(record, request);
    return ProcessCorvelIPMICommand(&record);
}

unsigned secureCorvel::SendCorvelRequest(const OEMRequest& request)
{
    ClearIPMIRecord(IPMIReqBuf);
    PutRequest(IPMIReqBuf, request);
    return IPMIRequest(request.bytes[2], &IPMIReqBuf, IPMIRequestLength(IPMIReqBuf),
                       request.responseLength);
}

unsigned secureCorvel::IPMIRequest(uint8_t subCommand, _VEXIPMICommandData* record,
                                   unsigned requestLength, unsigned responseLength)
{
    if (record == nullptr) {
        return 1;
    }
    unsigned result =
        OEMIPMIRequest(eCorvelCommand, subCommand, record, requestLength, responseLength);
    if (result == 0) {
        const auto session = oemanswer::ReadSession(AnswerOf(*record));
        if (session && session->handle != 0) {
            m_sessionHandle = session->handle;
            if (bCorvelDebugLog) {
                logCorvelMsg(kSrc, __LINE__,
                             "New Corvel Handle = " + std::to_string(session->handle));
            }
        }
        return 0;
    }

    const auto completion = oemanswer::ReadCompletion(AnswerOf(*record));
    if (bCorvelDebugLog) {
        logCorvelMsg(kSrc, __LINE__,
                     " IPMIRequest completion code =" +
                         (completion ? scal::Hex2(completion->code) : std::string("none")));
    }
    if (completion && completion->code == kStatusPending &&
        PollCorvelCmdComplete(kPendingPolls, subCommand)) {
        // The poller has put the final status into this record.
        result = CompletionOf(*record);
    }
    return result;
}
