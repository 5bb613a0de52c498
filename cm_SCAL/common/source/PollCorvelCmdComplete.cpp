#include <exception>
#include <optional>

#include "Interruption.h"
#include "ScalFormat.h"
#include "ScalSeams.h"
#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/PollCorvelCmdComplete";

namespace
{
const uint8_t kStatusPending = 0x02;

std::string PendingStep(uint8_t subCommand)
{
    std::string name = getIPMICommandName(subCommand);
    if (name.empty()) {
        name = "command 0x" + scal::Hex2(subCommand);
    }
    return name + " pending";
}

// The status the poller's last answer reported, when it holds one.
std::optional<oemanswer::StatusPoll> LastStatus()
{
    return oemanswer::ReadStatusPoll(AnswerOf(PollReqBuf));
}

bool CompletedWithoutError()
{
    const auto last = LastStatus();
    return last && last->status == 0;
}
} // namespace

bool secureCorvel::PollCorvelCmdComplete(int maxPolls, uint8_t subCommand)
{
    try {
        if (!IsSessionActive() || maxPolls <= 0) {
            return CompletedWithoutError();
        }
        const std::string step = PendingStep(subCommand);
        for (int poll = 0; poll < maxPolls; ++poll) {
            m_seams.progress->Waiting(step, unsigned(poll) + 1, unsigned(maxPolls));
            logCorvelMsg(kSrc, __LINE__, "Polling Count " + std::to_string(poll) + " \n ");
            m_seams.sleeper->SleepSeconds(1);
            // The request is still pending: stopped here, it is not done.
            if (interruption::StopRequested()) {
                logCorvelMsg(kSrc, __LINE__,
                             "PollCorvelCmdComplete: stopped by signal " +
                                 std::to_string(interruption::PendingSignal()) +
                                 " while the request was pending");
                return false;
            }

            unsigned rc =
                SendOEMRequest(PollReqBuf, oemrequest::StatusPoll(m_sessionHandle, subCommand));

            if (bCorvelDebugLog) {
                logCorvelMsg(kSrc, __LINE__,
                             " PollCorvelCmdComplete IPMIResponse[" +
                                 scal::DumpBytes(IPMIResponseBytes(PollReqBuf), 7) + "]\n");
            }
            const auto last = LastStatus();
            if (rc == 0 && !last) {
                // Without its status the answer says nothing about the
                // request followed: it is not done.
                logCorvelMsg(kSrc, __LINE__, oemanswer::ShortAnswer(PollReqBuf));
                rc = 1;
            }
            const std::string status =
                "SubCmdStatus: " + (last ? scal::HexNoPad(last->status) : std::string("none"));
            if (rc == 1) {
                logCorvelMsg(kSrc, __LINE__, status);
                logCorvelMsg(
                    kSrc, __LINE__,
                    "GetCORVELStatus Command returned: FAILURE.  Breaking out of Poll Loop");
                break;
            }
            if (rc == 0) {
                logCorvelMsg(kSrc, __LINE__, status);
                // The pending request's own record carries the final status.
                PutCompletion(IPMIReqBuf, last->status);
                if (last->status == kStatusPending) {
                    continue;
                }
                break;
            }
            logCorvelMsg(kSrc, __LINE__,
                         status + " PollCorvelCmdComplete Response = " + std::to_string(rc));
        }
    } catch (unsigned char code) {
        storeErrorInfo(code);
    } catch (const std::exception& e) {
        logCorvelMsg(kSrc, __LINE__, std::string("Bad Alloc Exception caught : ") + e.what());
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "Generic Exception caught");
    }
    m_seams.progress->Finished();
    return CompletedWithoutError();
}
