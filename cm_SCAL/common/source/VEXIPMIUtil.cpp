#include "VEXIPMIUtil.h"

#include <cstring>

#include "OEMRequests.h"
#include "ScalFormat.h"
#include "ScalSeams.h"
#include "SecureCorvel.h"

static const char kSrc[] = "cm_SCAL/common/source/VEXIPMIUtil";

namespace
{

const unsigned kMaxIPMIBytes = 255;
const unsigned kStandardAttempts = 10;
const unsigned kRetryPauseSeconds = 2;

unsigned Capped(unsigned length)
{
    return length > kMaxIPMIBytes ? kMaxIPMIBytes : length;
}

} // namespace

_VEXIPMICommandData IPMIReqBuf;
_VEXIPMICommandData PollReqBuf;

uint8_t* IPMIRequestBytes(_VEXIPMICommandData& record)
{
    return record.RequestData;
}

uint8_t* IPMIResponseBytes(_VEXIPMICommandData& record)
{
    return record.ResponseData;
}

unsigned IPMIRequestLength(const _VEXIPMICommandData& record)
{
    return Capped(record.RequestLength);
}

unsigned IPMIResponseLength(const _VEXIPMICommandData& record)
{
    return Capped(record.ResponseLength);
}

void SetIPMILengths(_VEXIPMICommandData& record, unsigned requestLength, unsigned responseLength)
{
    record.RequestLength = requestLength;
    record.ResponseLength = responseLength;
}

void ClearIPMIRecord(_VEXIPMICommandData& record)
{
    std::memset(&record, 0, sizeof(record));
}

unsigned InitVEXIPMILibrary()
{
    // The front copies this as its default configuration.
    _VEXIPMIConfiguration configuration;
    std::memset(&configuration, 0, sizeof(configuration));
    configuration.PollingInterval = 60;
    configuration.PollingCount = 5;
    configuration.RetryCount = 5;
    configuration.RetryInterval = 50;
    configuration.PollingByte = 0;
    configuration.PollingStatus = 0;

    unsigned rc = OEMCommandIPMI().Start(&configuration);
    if (rc == 0) {
        secureCorvel::logCorvelMsg(kSrc, __LINE__, "Intialization of VEX IPMI Library successful");
    } else {
        secureCorvel::logCorvelMsg(kSrc, __LINE__, "Intialization of VEX IPMI Library failed");
    }
    return rc;
}

unsigned ReleaseVEXIPMILibrary()
{
    secureCorvel::logCorvelMsg(kSrc, __LINE__, "Releasing VEX IPMI Library");
    if (OEMCommandIPMI().IsStarted()) {
        OEMCommandIPMI().Stop();
    }
    return 0;
}

bool ProcessIPMIReuestResponseUsingVEXIPMI(_VEXIPMICommandData* record)
{
    if (record == nullptr || !OEMCommandIPMI().IsStarted()) {
        return false;
    }
    return OEMCommandIPMI().Request(record) == 0;
}

bool ProcessIPMICommand(_VEXIPMICommandData* record)
{
    if (record == nullptr) {
        return false;
    }
    if (bCorvelDebugLog) {
        secureCorvel::logCorvelMsg(
            kSrc, __LINE__,
            " IPMIRequest[" +
                scal::DumpBytes(IPMIRequestBytes(*record), IPMIRequestLength(*record)) + "]\n");
    }
    bool passed = false;
    for (unsigned attempt = 1; attempt <= kStandardAttempts; ++attempt) {
        unsigned rc = OEMCommandIPMI().IsStarted() ? OEMCommandIPMI().Request(record) : 257;
        if (bCorvelDebugLog) {
            secureCorvel::logCorvelMsg(
                kSrc, __LINE__,
                " IPMIResponse[" +
                    scal::DumpBytes(IPMIResponseBytes(*record), IPMIResponseLength(*record)) +
                    "]\n");
        }
        if (rc == 0) {
            secureCorvel::logCorvelMsg(kSrc, __LINE__, "ProcessIPMICommand Passed\n");
            passed = true;
            break;
        }
        if (attempt < kStandardAttempts) {
            OEMCommandSleeper().SleepSeconds(kRetryPauseSeconds);
        }
    }
    secureCorvel::logCorvelMsg(kSrc, __LINE__, "ProcessIPMICommand END\n");
    return passed;
}

unsigned rstTivra()
{
    _VEXIPMICommandData record;
    ClearIPMIRecord(record);
    PutRequest(record, oemrequest::ColdReset());
    if (ProcessIPMICommand(&record)) {
        return 0;
    }
    secureCorvel::logCorvelMsg(kSrc, __LINE__, "RKIPMCommand ERROR from Tivra reset\n");
    return 1;
}
