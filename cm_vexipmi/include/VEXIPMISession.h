#pragma once

#include <cstdint>
#include <memory>

#include "LVEXIPMIProcessor.h"
#include "VEXIPMICommandData.h"
#include "VEXIPMIXMLConfiguration.h"

// One thread's connection to the controller: its own device processor and
// retry settings.
class VEXIPMISession
{
public:
    VEXIPMISession() = default;
    virtual ~VEXIPMISession() = default;
    VEXIPMISession(const VEXIPMISession&) = delete;
    VEXIPMISession& operator=(const VEXIPMISession&) = delete;

    // Opens the device and settles the retry settings; false when no device
    // opened. configuration (may be null) applies only without a usable
    // settings file.
    bool Initialize(const _VEXIPMIConfiguration* configuration);
    // Result of the processor; VEXIPMI_ERROR_INVALID when the session cannot
    // be initialised.
    uint32_t ProcessCommand(CVEXIPMICommandData* data);
    // Closes the device and forgets the settings; the session may be
    // initialised again.
    bool Release();
    bool InitializeFromFile();
    // Names the settings file all sessions share.
    static void SetConfigurationFileName(const VEXString& name);
    // The settings file reader all sessions share.
    static VEXIPMIXMLConfig& GetXMLConfig();

    bool IsInitialized() const { return m_bInitialized; }
    bool IsConfigurationFromFile() const { return m_bConfigFromFile; }
    const _VEXIPMIConfiguration& GetConfiguration() const { return m_Configuration; }
    IIPMICommandProcessor* GetProcessor() const { return m_pProcessor.get(); }

private:
    std::unique_ptr<IIPMICommandProcessor> m_pProcessor;
    bool m_bInitialized = false;
    bool m_bConfigFromFile = false;
    _VEXIPMIConfiguration m_Configuration{};
};
