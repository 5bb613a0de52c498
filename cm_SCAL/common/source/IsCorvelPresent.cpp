#include <optional>

#include "OEMRequests.h"
#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/IsCorvelPresent";

namespace
{
const uint8_t kAccessEnabled = 0;
const uint8_t kAccessRecovery = 2;

// The fields `read` takes from the answer to `request`; nothing when the
// request failed or its answer was cut short (logged).
template <typename Fields>
std::optional<Fields> Ask(const OEMRequest& request,
                          std::optional<Fields> (*read)(const OEMAnswer&))
{
    if (SendOEMRequest(IPMIReqBuf, request) != 0) {
        return std::nullopt;
    }
    std::optional<Fields> fields = read(AnswerOf(IPMIReqBuf));
    if (!fields) {
        secureCorvel::logCorvelMsg(kSrc, __LINE__, oemanswer::ShortAnswer(IPMIReqBuf));
    }
    return fields;
}
} // namespace

int secureCorvel::GetCorvelType()
{
    try {
        const auto answer = Ask(oemrequest::RepositoryType(), oemanswer::ReadRepositoryType);
        if (!answer) {
            logCorvelMsg(kSrc, __LINE__, "There is no corvel present on this system.");
            storeErrorInfo(SCAL_NO_CORVEL);
            return 0;
        }
        storeErrorInfo(SCAL_SUCCESS);
        return answer->type <= 2 ? answer->type + 1 : 0;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return 0;
    }
}

bool secureCorvel::IsCorvelEnabled()
{
    try {
        const auto answer = Ask(oemrequest::AccessState(), oemanswer::ReadAccessState);
        if (!answer) {
            logCorvelMsg(kSrc, __LINE__, "The getCorvelAccessState IPMI command failed.");
            storeErrorInfo(SCAL_ACCESS_STATE_FAILED);
            return false;
        }
        const uint8_t state = answer->state;
        if (state == kAccessEnabled) {
            m_accessState = kAccessEnabled;
            storeErrorInfo(SCAL_SUCCESS);
            return true;
        }
        // Only the recovery state can be bypassed, and only by the one package
        // meant to run there.
        if (byPassRecoveryState()) {
            logCorvelMsg(kSrc, __LINE__, "QP recovery state by pass is true.");
            if (state == kAccessRecovery) {
                logCorvelMsg(kSrc, __LINE__, "QP is in recovery state.");
                m_accessState = kAccessEnabled;
                storeErrorInfo(SCAL_SUCCESS);
                return true;
            }
        }
        m_accessState = state;
        storeErrorInfo(SCAL_SUCCESS);
        return false;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}
