#pragma once

#include <cstdint>

// Largest request and largest response the library carries, in bytes.
constexpr uint32_t VEXIPMI_MAX_BUFFER_LENGTH = 255;

// Results of the library front and of the device processor.
constexpr uint32_t VEXIPMI_SUCCESS = 0;
// Bad argument, or no session could be initialised.
constexpr uint32_t VEXIPMI_ERROR_INVALID = 257; // 0x101
// No response arrived (device missing, send failed, timed out, reply cut).
constexpr uint32_t VEXIPMI_ERROR_NO_RESPONSE = 320; // 0x140

// Retry and poll settings of one request.
struct _VEXIPMIConfiguration {
    uint32_t PollingInterval;
    uint32_t PollingCount;
    uint32_t RetryCount;    // attempts per request
    uint32_t RetryInterval; // pause between attempts, milliseconds
    int32_t PollingByte;    // response byte to poll on; -1 = no polling
    uint8_t PollingStatus;  // value the polling byte must reach
};
typedef _VEXIPMIConfiguration VEXIPMIConfiguration;

// One request and its response, filled by the caller.
// Request bytes: NetFn, command, data. Response bytes: NetFn, command,
// completion code, data.
struct _VEXIPMICommandData {
    _VEXIPMIConfiguration* pConfiguration; // may be null
    uint32_t RequestLength;
    // On input the length the caller expects; on output the length received.
    uint32_t ResponseLength;
    uint8_t RequestData[VEXIPMI_MAX_BUFFER_LENGTH];
    uint8_t ResponseData[VEXIPMI_MAX_BUFFER_LENGTH];
};
typedef _VEXIPMICommandData VEXIPMICommandData;

// The library's view of a caller's record; it does not own the record.
class CVEXIPMICommandData
{
public:
    // Clears the record's response bytes and, when a configuration is
    // attached, its polling byte and polling status.
    explicit CVEXIPMICommandData(_VEXIPMICommandData* record);
    virtual ~CVEXIPMICommandData() = default;

    CVEXIPMICommandData(const CVEXIPMICommandData&) = delete;
    CVEXIPMICommandData& operator=(const CVEXIPMICommandData&) = delete;

    const uint8_t* GetRequestBufferData() const;
    uint32_t GetRequestBufferLength() const;
    // The response bytes from `offset`; null when offset is past the array.
    uint8_t* GetResponseBufferData(uint32_t offset = 0);
    uint32_t GetResponseBufferLength() const;
    void SetResponseBufferLength(uint32_t length);

    // Copy bytes in and set the length; refuse (false) 256 bytes or more.
    bool SetRequestBufferData(const uint8_t* data, uint32_t length);
    bool SetResponseBufferData(const uint8_t* data, uint32_t length);

    _VEXIPMIConfiguration* GetConfigurationData() const;
    void SetConfigurationData(_VEXIPMIConfiguration* configuration);

    // Configuration fields; 0 (or -1 for the polling byte) without one.
    uint32_t GetRetryCount() const;
    void SetRetryCount(uint32_t count);
    uint32_t GetRetryInterval() const;
    void SetRetryInterval(uint32_t milliseconds);
    uint32_t GetPollInterval() const;
    uint32_t GetPollCount() const;
    int32_t GetPollingByte() const;
    uint8_t GetPollingStatus() const;
    void SetPollingByteStatus(int32_t pollingByte, uint8_t pollingStatus);
    bool IsPollingRequired() const;

private:
    _VEXIPMICommandData* m_pData;
};
