#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "VEXIPMICommandData.h"
#include "VEXIPMISys.h"

// One device processor per session.
class IIPMICommandProcessor
{
public:
    virtual ~IIPMICommandProcessor() = default;
    // 0 when a response was stored, else VEXIPMI_ERROR_NO_RESPONSE.
    virtual uint32_t ExecuteCommand(CVEXIPMICommandData* data) = 0;
    // 0 when the device is open, else VEXIPMI_ERROR_NO_RESPONSE.
    virtual uint32_t Initialize() = 0;
};

// Message ID of the next request, shared by every processor of the process.
extern std::atomic<uint32_t> gnMsgID;

// Paths tried, in order, in each pass of IPMIProcessor::Initialize.
extern const char* const kIPMIDevicePaths[3];
constexpr int kIPMIOpenPasses = 5;
// Readiness wait of one receive attempt.
constexpr long kIPMIWaitSeconds = 20;
constexpr long kIPMIWaitMicroseconds = 60;

// Completion codes after which ExecuteCommand stops resending.
bool IsFinalCompletionCode(uint8_t completionCode);

// The text LogIPMIResponse writes: request and response bytes in hex.
std::string FormatIPMIDump(const CVEXIPMICommandData& data);

// Exchanges requests with the controller through the Linux IPMI device.
class IPMIProcessor : public IIPMICommandProcessor
{
public:
    explicit IPMIProcessor(std::shared_ptr<IVEXIPMISys> sys = std::make_shared<RealVEXIPMISys>());
    // Closes the device.
    ~IPMIProcessor() override;
    IPMIProcessor(const IPMIProcessor&) = delete;
    IPMIProcessor& operator=(const IPMIProcessor&) = delete;

    // Opens the first device path that works, up to five passes one second
    // apart; 320 and a line on standard error when none opens.
    uint32_t Initialize() override;
    // Sends the request, resending while the completion code asks for it.
    uint32_t ExecuteCommand(CVEXIPMICommandData* data) override;
    // One send and the wait for its response: 0 or 320.
    uint32_t Process(CVEXIPMICommandData* data);
    void Release();
    void LogIPMIResponse(const CVEXIPMICommandData* data);

    // Descriptor of the open device; -1 while closed.
    int GetFileDescriptor() const { return m_nFd; }

private:
    std::shared_ptr<IVEXIPMISys> m_pSys;
    IVEXIPMISys& m_Sys;
    int m_nFd = -1;
};
