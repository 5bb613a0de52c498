#include <cstring>

#include "VEXIPMICommandData.h"
#include "VEXIPMILog.h"

static const char kSrc[] = "cm_vexipmi/src/VEXIPMICommandData";

CVEXIPMICommandData::CVEXIPMICommandData(_VEXIPMICommandData* record) : m_pData(record)
{
    memset(m_pData->ResponseData, 0, sizeof(m_pData->ResponseData));
    if (m_pData->pConfiguration != nullptr) {
        m_pData->pConfiguration->PollingByte = 0;
        m_pData->pConfiguration->PollingStatus = 0;
    }
}

const uint8_t* CVEXIPMICommandData::GetRequestBufferData() const
{
    return m_pData->RequestData;
}

uint32_t CVEXIPMICommandData::GetRequestBufferLength() const
{
    return m_pData->RequestLength;
}

uint8_t* CVEXIPMICommandData::GetResponseBufferData(uint32_t offset)
{
    if (offset >= VEXIPMI_MAX_BUFFER_LENGTH) {
        return nullptr;
    }
    return m_pData->ResponseData + offset;
}

uint32_t CVEXIPMICommandData::GetResponseBufferLength() const
{
    return m_pData->ResponseLength;
}

void CVEXIPMICommandData::SetResponseBufferLength(uint32_t length)
{
    m_pData->ResponseLength = length;
}

bool CVEXIPMICommandData::SetRequestBufferData(const uint8_t* data, uint32_t length)
{
    if (length > VEXIPMI_MAX_BUFFER_LENGTH) {
        VEXIPMI_LOG(eVEXLogInfo,
                    "CVEXIPMICommandData::SetRequestBufferData(), Requested Buffer length is "
                    "greater than Maximum Request length");
        return false;
    }
    if (length > 0 && data == nullptr) {
        return false;
    }
    if (length > 0) {
        memcpy(m_pData->RequestData, data, length);
    }
    m_pData->RequestLength = length;
    return true;
}

bool CVEXIPMICommandData::SetResponseBufferData(const uint8_t* data, uint32_t length)
{
    if (length > VEXIPMI_MAX_BUFFER_LENGTH) {
        VEXIPMI_LOG(eVEXLogInfo,
                    "CVEXIPMICommandData::SetResponseBufferData(), Response length is greater "
                    "than Maximum Buffer length");
        return false;
    }
    if (length > 0 && data == nullptr) {
        return false;
    }
    if (length > 0) {
        memcpy(m_pData->ResponseData, data, length);
    }
    m_pData->ResponseLength = length;
    return true;
}

_VEXIPMIConfiguration* CVEXIPMICommandData::GetConfigurationData() const
{
    return m_pData->pConfiguration;
}

void CVEXIPMICommandData::SetConfigurationData(_VEXIPMIConfiguration* configuration)
{
    m_pData->pConfiguration = configuration;
}

uint32_t CVEXIPMICommandData::GetRetryCount() const
{
    return m_pData->pConfiguration ? m_pData->pConfiguration->RetryCount : 0;
}

void CVEXIPMICommandData::SetRetryCount(uint32_t count)
{
    if (m_pData->pConfiguration) {
        m_pData->pConfiguration->RetryCount = count;
    }
}

uint32_t CVEXIPMICommandData::GetRetryInterval() const
{
    return m_pData->pConfiguration ? m_pData->pConfiguration->RetryInterval : 0;
}

void CVEXIPMICommandData::SetRetryInterval(uint32_t milliseconds)
{
    if (m_pData->pConfiguration) {
        m_pData->pConfiguration->RetryInterval = milliseconds;
    }
}

uint32_t CVEXIPMICommandData::GetPollInterval() const
{
    return m_pData->pConfiguration ? m_pData->pConfiguration->PollingInterval : 0;
}

uint32_t CVEXIPMICommandData::GetPollCount() const
{
    return m_pData->pConfiguration ? m_pData->pConfiguration->PollingCount : 0;
}

int32_t CVEXIPMICommandData::GetPollingByte() const
{
    return m_pData->pConfiguration ? m_pData->pConfiguration->PollingByte : -1;
}

uint8_t CVEXIPMICommandData::GetPollingStatus() const
{
    return m_pData->pConfiguration ? m_pData->pConfiguration->PollingStatus : 0;
}

void CVEXIPMICommandData::SetPollingByteStatus(int32_t pollingByte, uint8_t pollingStatus)
{
    if (m_pData->pConfiguration) {
        m_pData->pConfiguration->PollingByte = pollingByte;
        m_pData->pConfiguration->PollingStatus = pollingStatus;
    }
}

bool CVEXIPMICommandData::IsPollingRequired() const
{
    if (GetPollingByte() != -1) {
        VEXIPMI_LOG(eVEXLogInfo, " CVEXIPMICommandData::IsPollingRequired(), Polling is required ");
        return true;
    }
    VEXIPMI_LOG(eVEXLogInfo, " CVEXIPMICommandData::IsPollingRequired(), Polling is not required ");
    return false;
}
