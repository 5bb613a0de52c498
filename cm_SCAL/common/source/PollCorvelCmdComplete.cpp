#include <exception>

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
} // namespace

bool secureCorvel::PollCorvelCmdComplete(int maxPolls, uint8_t subCommand)
{
    try {
        if (!IsSessionActive() || maxPolls <= 0) {
            return IPMIResponseBytes(PollReqBuf)[5] == 0;
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

            const uint8_t* response = IPMIResponseBytes(PollReqBuf);
            if (bCorvelDebugLog) {
                logCorvelMsg(kSrc, __LINE__,
                             " PollCorvelCmdComplete IPMIResponse[" + scal::DumpBytes(response, 7) +
                                 "]\n");
            }
            const std::string status = "SubCmdStatus: " + scal::HexNoPad(response[5]);
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
                IPMIResponseBytes(IPMIReqBuf)[2] = response[5];
                if (response[5] == kStatusPending) {
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
    return IPMIResponseBytes(PollReqBuf)[5] == 0;
}
