#include "UpdRollbackWrapper.h"

static const char kSrc[] = "cm_SCAL/common/source/UpdRollbackWrapper";

// Throwing from the body destroys the fully built base, so the caller has
// nothing to delete when construction fails.
UpdRollbackWrapper::UpdRollbackWrapper(ScalSeams seams) : secureCorvel(std::move(seams))
{
    if (getSCALError() != SCAL_SUCCESS) {
        logCorvelMsg(kSrc, __LINE__, "Could not create Secure Corvel object");
        throw static_cast<unsigned char>(getSCALError());
    }
    secureCorvelInit();
    if (!IsIPMIReady()) {
        logCorvelMsg(kSrc, __LINE__,
                     std::string(" Error in Update Rollback Wrapper Constructor ") +
                         "Could not initialize Secure Corvel" + " error code " +
                         std::to_string(static_cast<unsigned>(getSCALError())));
        throw static_cast<unsigned char>(getSCALError());
    }
    logCorvelMsg(kSrc, __LINE__, "Secure Corvel initialized successfully");
}

UpdRollbackWrapper::~UpdRollbackWrapper() = default;
