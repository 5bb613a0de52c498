#include <algorithm>
#include <cstdio>

#include "LVEXIPMIProcessor.h"
#include "VEXIPMILog.h"

static const char kSrc[] = "cm_vexipmi/src/VEXIPMIProcessorCommon";

bool IsFinalCompletionCode(uint8_t completionCode)
{
    switch (completionCode) {
    case 0x00:
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x08:
    case 0x10:
    case 0xC1: // invalid command
    case 0xC2: // invalid for this LUN
    case 0xC7: // request length invalid
    case 0xC8: // request length exceeded
    case 0xC9: // parameter out of range
    case 0xCC: // invalid data field
    case 0xCE: // response could not be provided
        return true;
    default:
        return false;
    }
}

std::string FormatIPMIDump(const CVEXIPMICommandData& data)
{
    // The response length is the caller's expectation until a reply arrives;
    // never dump past the arrays whatever it says.
    const uint32_t requestLength =
        std::min(data.GetRequestBufferLength(), VEXIPMI_MAX_BUFFER_LENGTH);
    const uint32_t responseLength =
        std::min(data.GetResponseBufferLength(), VEXIPMI_MAX_BUFFER_LENGTH);
    const uint8_t* request = data.GetRequestBufferData();
    const uint8_t* response = const_cast<CVEXIPMICommandData&>(data).GetResponseBufferData(0);

    std::string text = "\nIPMI Request : ";
    char hex[8];
    for (uint32_t i = 0; i < requestLength; ++i) {
        snprintf(hex, sizeof(hex), " 0x%02x", request[i]);
        text += hex;
    }
    text += "      IPMI Response :  ";
    for (uint32_t i = 0; i < responseLength; ++i) {
        snprintf(hex, sizeof(hex), " 0x%02x", response[i]);
        text += hex;
    }
    text += "\n";
    return text;
}

void IPMIProcessor::LogIPMIResponse(const CVEXIPMICommandData* data)
{
    VEXIPMI_LOG(eVEXLogInfo, "%s", FormatIPMIDump(*data).c_str());
}

uint32_t IPMIProcessor::ExecuteCommand(CVEXIPMICommandData* data)
{
    VEXIPMI_LOG(eVEXLogInfo, "Entering IPMIProcessor::ExecuteCommand");
    if (data == nullptr) {
        return VEXIPMI_ERROR_NO_RESPONSE;
    }
    const uint32_t retryCount = data->GetRetryCount();
    const uint32_t retryInterval = data->GetRetryInterval();
    uint32_t retriesLeft = retryCount;
    uint8_t completionCode = 0;
    do {
        const uint32_t rc = Process(data);
        if (rc != VEXIPMI_SUCCESS) {
            return rc;
        }
        completionCode = data->GetResponseBufferData(0)[2];
        if (IsFinalCompletionCode(completionCode)) {
            retriesLeft = 0;
        } else {
            m_Sys.SleepMs(retryInterval);
            --retriesLeft;
        }
        VEXIPMI_LOG(eVEXLogInfo,
                    "IPMIProcessor::ExecuteCommand Got IPMI return code as %x and number of "
                    "retries left are %d out of %d",
                    completionCode, static_cast<int>(retriesLeft), static_cast<int>(retryCount));
        LogIPMIResponse(data);
    } while (retriesLeft != 0 && completionCode != 0);
    LogIPMIResponse(data);
    VEXIPMI_LOG(eVEXLogInfo, "Leaving IPMIProcessor::ExecuteCommand");
    return VEXIPMI_SUCCESS;
}
