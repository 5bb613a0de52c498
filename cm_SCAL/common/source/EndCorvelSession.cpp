#include "Logger.h"
#include "ScalFormat.h"
#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/EndCorvelSession";

bool secureCorvel::EndCorvelSession()
{
    try {
        if (!IsSessionActive()) {
            logCorvelMsg(kSrc, __LINE__, "No Active Session Found");
            storeErrorInfo(SCAL_NO_ACTIVE_SESSION);
            logCorvelMsg(kSrc, __LINE__, "EndCorvelSession failed");
            return false;
        }
        if (SendCorvelRequest(oemrequest::EndSession(m_sessionHandle)) != 0) {
            // The controller may still hold the session; it stays marked open.
            logCorvelMsg(kSrc, __LINE__, "EndCorvelSession failed");
            storeErrorInfo(SCAL_END_SESSION_FAILED);
            logCorvelMsg(kSrc, __LINE__, "EndCorvelSession failed");
            return false;
        }
        m_seams.journal->Note(journalrecord::SessionGone(m_sessionHandle));
        clearSessionState();
        logCorvelMsg(kSrc, __LINE__, "EndCorvelSession succeeded");
        return true;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "EndCorvelSession failed");
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}

void secureCorvel::endSessionsLeftOpen()
{
    for (const LeftSession& left : m_seams.journal->LeftSessions()) {
        const std::string session = "repository session " + SessionHandleText(left.handle) +
                                    " left open by process " + std::to_string(left.pid);
        // Sent with the dead run's handle; this object holds no session.
        const bool ended = SendCorvelRequest(oemrequest::EndSession(left.handle)) == 0;
        // A request that got no answer leaves the code cleared.
        const auto completion = oemanswer::ReadCompletion(AnswerOf(IPMIReqBuf));
        std::string step;
        if (ended) {
            step = "journal: ended the " + session;
        } else if (completion && completion->code != 0) {
            // The controller answered and refused: it holds no such session
            // (ended, timed out, or the controller was reset).
            step = "journal: the " + session + " was already gone (completion code 0x" +
                   scal::Hex2(completion->code) + ")";
        } else {
            CLogger::GetInstance()->log(
                kSrc, __LINE__, "journal: no answer ending the " + session + "; it stays listed");
            continue;
        }
        CLogger::GetInstance()->log(kSrc, __LINE__, step);
        m_seams.journal->Note(journalrecord::LeftSessionGone(left.handle));
    }
}
