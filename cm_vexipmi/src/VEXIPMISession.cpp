#include "VEXIPMISession.h"

#include "VEXIPMICommandProcessorCreator.h"
#include "VEXIPMILog.h"
#include "VEXIPMISessionHandler.h"

static const char kSrc[] = "cm_vexipmi/src/VEXIPMISession";

VEXIPMIXMLConfig& VEXIPMISession::GetXMLConfig()
{
    static VEXIPMIXMLConfig mIPMIXMLConfig(VEXString("VEXIPMIConfig.xml"));
    return mIPMIXMLConfig;
}

void VEXIPMISession::SetConfigurationFileName(const VEXString& name)
{
    GetXMLConfig().SetConfigurationFileName(name);
}

bool VEXIPMISession::Initialize(const _VEXIPMIConfiguration* configuration)
{
    if (m_bInitialized) {
        VEXIPMI_LOG(eVEXLogInfo, "VEXIPMISession::Initialize() Session already initialized");
        return true;
    }
    m_pProcessor = IPMICommandProcessorCreator::Create();
    if (!m_pProcessor) {
        VEXIPMI_LOG(eVEXLogError, "VEXIPMISession::Initialize() Processor creation failed");
        return false;
    }
    const _VEXIPMIConfiguration* defaults =
        VEXIPMISessionHandler::GetInstance()->GetApplicationDefaultConfiguration();
    m_Configuration.PollingInterval = defaults->PollingInterval;
    m_Configuration.PollingCount = defaults->PollingCount;
    m_Configuration.RetryCount = defaults->RetryCount;
    m_Configuration.RetryInterval = defaults->RetryInterval;

    // The keys are read even when the file did not load: each read tries
    // the file once more, and the log shows those attempts.
    const bool loaded = GetXMLConfig().Initialize();
    InitializeFromFile();
    if (!loaded) {
        VEXIPMI_LOG(eVEXLogInfo, "Config couldn't be initialized from configuration file");
        m_bConfigFromFile = false;
        if (configuration != nullptr) {
            m_Configuration = *configuration;
        }
    }
    m_bInitialized = true;
    return true;
}

bool VEXIPMISession::InitializeFromFile()
{
    const struct {
        const char* key;
        uint32_t* field;
    } keys[] = {
        {"RetryCount", &m_Configuration.RetryCount},
        {"PollingInterval", &m_Configuration.PollingInterval},
        {"PollingCount", &m_Configuration.PollingCount},
        {"RetryInterval", &m_Configuration.RetryInterval},
    };
    for (const auto& entry : keys) {
        int32_t value = 0;
        if (!GetXMLConfig().GetConfigInt(VEXString(entry.key), value)) {
            continue;
        }
        // A negative count or interval would turn into some four billion
        // attempts or milliseconds; keep the setting in force instead.
        if (value < 0) {
            VEXIPMI_LOG(eVEXLogError, "Ignoring negative %s %d from configuration file", entry.key,
                        value);
            continue;
        }
        *entry.field = static_cast<uint32_t>(value);
    }
    m_bConfigFromFile = true;
    return true;
}

uint32_t VEXIPMISession::ProcessCommand(CVEXIPMICommandData* data)
{
    VEXIPMI_LOG(eVEXLogInfo, "VEXIPMISession::ProcessCommand() Entering");
    if (!m_bInitialized && !Initialize(nullptr)) {
        VEXIPMI_LOG(eVEXLogError, "VEXIPMISession::ProcessCommand() Session not initialized");
        return VEXIPMI_ERROR_INVALID;
    }
    // The settings file overrides what the caller attached. The session's
    // settings are lent for this request only: a record kept by the caller
    // must not point into a session that a later Release destroys.
    _VEXIPMIConfiguration* const callers = data->GetConfigurationData();
    if (m_bConfigFromFile || callers == nullptr) {
        data->SetConfigurationData(&m_Configuration);
    }
    const uint32_t result = m_pProcessor->ExecuteCommand(data);
    data->SetConfigurationData(callers);
    VEXIPMI_LOG(eVEXLogInfo, "VEXIPMISession::ProcessCommand() Leaving");
    return result;
}

bool VEXIPMISession::Release()
{
    m_pProcessor.reset();
    m_Configuration = _VEXIPMIConfiguration{};
    m_bInitialized = false;
    m_bConfigFromFile = false;
    return true;
}
