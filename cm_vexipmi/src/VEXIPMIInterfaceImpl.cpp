#include "VEXIPMIInterfaceImpl.h"

#include "LVEXIPMIDriverManager.h"
#include "Logger.h"
#include "VEXFile.h"
#include "VEXIPMILog.h"
#include "VEXIPMISession.h"
#include "VEXIPMISessionHandler.h"

static const char kSrc[] = "cm_vexipmi/src/VEXIPMIInterfaceImpl";

VEXIPMIInterfaceImpl::~VEXIPMIInterfaceImpl()
{
    VEXIPMI_LOG(eVEXLogInfo, "VEXIPMIInterfaceImpl::~VEXIPMIInterfaceImpl() Entering");
    VEXIPMISessionHandler::DestroyInstance();
    VEXIPMI_LOG(eVEXLogInfo, "VEXIPMIInterfaceImpl::~VEXIPMIInterfaceImpl() Leaving");
    VEXLogger::Terminate();
}

void VEXIPMIInterfaceImpl::InitializeVEXLogger()
{
    if (!DebugLoggingWanted()) {
        return;
    }
    VEXLoggingOptions options;
    options.SetApplicationName(VEXString("VEXIPMILibrary"));
    options.SetNumberOfSupportedLevels(5);
    options.SetNumberOfLevelsToShowInUserLog(5);
    options.SetUserLogFile(VEXFile(VEXString("vexipmi.log")));
    options.SetInternalLogFile(VEXFile(VEXString("vexipmi_internal.log")));
    VEXLogger::Initialize(options);
}

uint32_t VEXIPMIInterfaceImpl::Initialize(_VEXIPMIConfiguration* configuration)
{
    InitializeVEXLogger();
    VEXIPMI_LOG(eVEXLogInfo, "Started Logging for VEXIPMI Library");

    // Lives for this call only: its destruction unloads the modules it
    // loaded, which those held by the open device refuse.
    DriverManager driverManager(VEXIPMISys());
    const int driverStatus = driverManager.IsIPMIDriverAvailable();
    if (driverStatus != 0) {
        VEXIPMI_LOG(eVEXLogError, "VEXIPMIInterfaceImpl::Initialize() IPMI drivers unusable: %d",
                    driverStatus);
        return static_cast<uint32_t>(driverStatus);
    }

    VEXIPMISessionHandler* handler = VEXIPMISessionHandler::GetInstance();
    if (configuration != nullptr) {
        handler->SetApplicationDefaultConfiguration(configuration);
    }
    if (handler->GetSession()->Initialize(nullptr)) {
        return VEXIPMI_SUCCESS;
    }
    VEXIPMI_LOG(eVEXLogError, "VEXIPMIInterfaceImpl::Initialize() Session initialization failed");
    return VEXIPMI_ERROR_INVALID;
}

uint32_t VEXIPMIInterfaceImpl::Initialize(const VEXString& configurationFileName)
{
    VEXIPMISession::SetConfigurationFileName(configurationFileName);
    return Initialize(static_cast<_VEXIPMIConfiguration*>(nullptr));
}

uint32_t VEXIPMIInterfaceImpl::IPMIRequest(_VEXIPMICommandData* record)
{
    VEXIPMI_LOG(eVEXLogInfo, "VEXIPMIInterfaceImpl::IPMIRequest() Entering");
    if (record == nullptr) {
        VEXIPMI_LOG(eVEXLogError, "Invalid parameter passed");
        return VEXIPMI_ERROR_INVALID;
    }
    CVEXIPMICommandData data(record);
    const uint32_t result =
        VEXIPMISessionHandler::GetInstance()->GetSession()->ProcessCommand(&data);
    VEXIPMI_LOG(eVEXLogInfo, "VEXIPMIInterfaceImpl::IPMIRequest() Leaving");
    return result;
}

bool VEXIPMIInterfaceImpl::Release()
{
    VEXIPMI_LOG(eVEXLogInfo, "VEXIPMIInterfaceImpl::Release() Entering");
    return VEXIPMISessionHandler::GetInstance()->ReleaseSession();
}
