#include "LUMOSwitchMgmt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <new>
#include <sstream>

#include "DeviceInfo.h"
#include "Interruption.h"
#include "InventoryXMLWriter.h"
#include "Logger.h"
#include "PackageFiles.h"
#include "PackageTrust.h"
#include "PlatformLayer.h"
#include "ScsiCommands.h"
#include "SoftwareComponentInfo.h"
#include "StringUtils.h"
#include "UpdateXMLWriter.h"
#include "VEXIO.h"

namespace
{

const char kSrc[] = "cm_LUMOSwitch/src/LUMOSwitchMgmt";

constexpr size_t kVpdBufferSize = 28;
constexpr size_t kVpdSerialMax = kVpdBufferSize - 4;
constexpr size_t kInquiryBufferSize = 60;
constexpr size_t kReadBufferSize = 60;

const char kFallbackComponentID[] = "000000";
const char kTestPlatformKey[] = "codeCoveragePlatform";
const char kTestPlatformComponentID[] = "111111";

const char kMsgInvalidImage[] = "ERROR: Invalid firmware image";
const char kMsgReadFailed[] = "ERROR: Failed to read firmware image";
const char kMsgUpdateFailed[] = "ERROR: Failed to Update Firmware";
const char kMsgPackageMissing[] = "ERROR: package.xml not found";
const char kMsgPackageUnparsable[] = "ERROR: package.xml could not be parsed";
const char kMsgPackageEmpty[] = "ERROR: package.xml lists no supported device";

// "ERROR: package.xml refused: not owned by root": the refusal as the report
// reader needs it, about the file without naming it twice.
std::string RefusedPackageMessage(const std::string& why)
{
    std::string reason = why;
    for (const char* prefix : {"the file is ", "the file "}) {
        if (reason.compare(0, std::strlen(prefix), prefix) == 0) {
            reason.erase(0, std::strlen(prefix));
            break;
        }
    }
    return "ERROR: package.xml refused: " + reason;
}
const char kMsgSuccess[] =
    "The firmware update was successful. The new firmware will be activated on LUMO Switch upon "
    "power cycle of the device or system. Rebooting the system will perform Quillpath "
    "controller's power cycle action.";
const char kMsgManual[] =
    "The firmware update was successful. The new firmware will be activated on LUMO Switch upon "
    "power cycle of the device or system. Please power cycle the system manually.";

std::string ProgressTarget(uint32_t ctrlId, uint16_t deviceId)
{
    char text[64];
    std::snprintf(text, sizeof(text), "switch %u on controller 0x%08x", unsigned(deviceId),
                  unsigned(ctrlId));
    return text;
}

// What the report says of a package file that failed its check.
std::string RefusedMessage(const std::string& id, const std::string& why)
{
    return "ERROR: " + id + " refused: " + why;
}

void Log(unsigned int line, const std::string& text)
{
    CLogger::GetInstance()->log(kSrc, line, text);
}

// Leaves the stream empty whether or not the log is open, so the next
// message never carries this one.
void LogStream(unsigned int line, std::ostringstream& oss)
{
    CLogger::GetInstance()->log(kSrc, line, oss);
    oss.str(std::string());
    oss.clear();
}

// READ BUFFER in the vendor mode, buffer E6h: the switch's revision. The
// offset and length bytes (E0h 07h 00h, 3Ch 00h 00h) are the switch's own.
constexpr uint8_t kRevisionBufferId = 0xE6;
constexpr uint32_t kRevisionOffsetBytes = 0xE00700;
constexpr uint32_t kRevisionLengthBytes = 0x3C0000;

// Sense key, ASC and ASCQ as the chunk-failure line gives them; nothing when
// the switch sent no sense data in a format we know.
std::string SenseText(const uint8_t* sense, size_t length)
{
    const scsi::SenseCodes codes = scsi::DecodeSense(sense, length);
    if (!codes.valid) {
        return std::string();
    }
    char text[96];
    std::snprintf(text, sizeof(text), ", sense key 0x%X (%s), ASC 0x%02X, ASCQ 0x%02X",
                  unsigned(codes.key), scsi::SenseKeyName(codes.key), unsigned(codes.asc),
                  unsigned(codes.ascq));
    return text;
}

// The version the package brings for a component: its Device's own, else
// the package's vendorVersion.
std::string PackageVersionOf(CSoftwareComponentInfo& package, const std::string& componentID)
{
    const std::string own =
        package.GetValue("/SoftwareComponent/SupportedDevices/Device[@componentID = \"" +
                             componentID + "\"]/@version",
                         "");
    return own.empty() ? package.GetValue("/SoftwareComponent/@vendorVersion", "") : own;
}

// What waits for the power cycle: every switch that took its image.
std::vector<SPendingSwitch> PendingSwitches(const std::vector<CDeviceInfo*>& devices)
{
    static const std::string kSerialPrefix = "Serial Number: ";
    std::vector<SPendingSwitch> pending;
    std::unique_ptr<CSoftwareComponentInfo> package;
    for (const CDeviceInfo* device : devices) {
        if (device == nullptr || device->getStatus() != 0 || !device->getColdPowerCycleRequired()) {
            continue;
        }
        if (!package) {
            package.reset(new CSoftwareComponentInfo());
        }
        SPendingSwitch entry;
        entry.componentID = device->getComponentID();
        entry.versionBefore = device->getVersion();
        entry.packageVersion = PackageVersionOf(*package, entry.componentID);
        entry.serial = device->getEnumId();
        if (entry.serial.compare(0, kSerialPrefix.size(), kSerialPrefix) == 0) {
            entry.serial.erase(0, kSerialPrefix.size());
        }
        pending.push_back(entry);
    }
    return pending;
}

} // namespace

namespace switchaddr
{

void* New(uint32_t ctrlId, uint16_t deviceId)
{
    uint8_t* p = static_cast<uint8_t*>(std::calloc(kSize, 1));
    if (p != nullptr) {
        storelib::PutLE32(p, ctrlId);
        storelib::PutLE16(p + 4, deviceId);
    }
    return p;
}

bool Read(const void* record, uint32_t& ctrlId, uint16_t& deviceId)
{
    if (record == nullptr) {
        return false;
    }
    const uint8_t* p = static_cast<const uint8_t*>(record);
    ctrlId = storelib::GetLE32(p);
    deviceId = storelib::GetLE16(p + 4);
    return true;
}

} // namespace switchaddr

LUMOSwitchMgmt::LUMOSwitchMgmt(const std::string& outputFileName, Seams seams)
    : m_seams(std::move(seams)), talker(m_seams.storeLib), m_strOutputFileName(outputFileName)
{
    Log(__LINE__, "LUMOSwitchMgmt::LUMOSwitchMgmt()");
}

LUMOSwitchMgmt::~LUMOSwitchMgmt()
{
    Log(__LINE__, "LUMOSwitchMgmt::~LUMOSwitchMgmt");
}

// ---------------------------------------------------------------- discovery

void LUMOSwitchMgmt::discoverLUMOSwitch(std::vector<CDeviceInfo*>& devices)
{
    Log(__LINE__, "LUMOSwitchMgmt::discoverLUMOSwitch() Start");
    enumerateAndSetDeviceInfo(devices);
    Log(__LINE__, "LUMOSwitchMgmt::discoverLUMOSwitch() End");
}

void LUMOSwitchMgmt::enumerateAndSetDeviceInfo(std::vector<CDeviceInfo*>& devices)
{
    Log(__LINE__, "LUMOSwitchMgmt::enumerateAndSetDeviceInfo() start");
    _SL_CTRL_LIST_T list;
    if (!getCtrlInventory(list)) {
        return;
    }
    std::ostringstream oss;
    const size_t count = list.getCount();
    oss << "enumerateAndSetDeviceInfo(): controllers count = " << count;
    LogStream(__LINE__, oss);
    for (size_t i = 0; i < count && i < _SL_CTRL_LIST_T::kMaxControllers; ++i) {
        getBackendPDList(list.getCtrlId(i), platformCtrlDeviceIdMap);
    }
    oss << "enumerateAndSetDeviceInfo(): platformCtrlDeviceIdMap size = "
        << platformCtrlDeviceIdMap.size();
    LogStream(__LINE__, oss);

    for (const auto& entry : platformCtrlDeviceIdMap) {
        const std::string& serial = entry.first;
        const uint32_t ctrlId = entry.second.first;
        const uint16_t deviceId = entry.second.second;
        const std::string componentID = getComponentID(serial);
        if (componentID == kFallbackComponentID) {
            Log(__LINE__, "enumerateAndSetDeviceInfo(): filtered out unsupported device with "
                          "component id 000000");
            continue;
        }
        void* address = switchaddr::New(ctrlId, deviceId);
        CDeviceInfo* device = new (std::nothrow) CDeviceInfo();
        if (address == nullptr || device == nullptr) {
            Log(__LINE__, "enumerateAndSetDeviceInfo(): out of memory for a device record");
            std::free(address);
            delete device;
            continue;
        }
        device->setComponentID(componentID);
        Log(__LINE__, "enumerateAndSetDeviceInfo(): componentId = " + componentID);
        Log(__LINE__,
            "enumerateAndSetDeviceInfo(): platformSerial = " + CStringUtils::escapeControl(serial));
        device->setEnumId("Serial Number: " + serial);
        device->setVersion(getFirmwareVersion(ctrlId, deviceId));
        device->setDeviceName(sendStdInquiry(ctrlId, deviceId));
        device->setComponentType("FRMW");
        device->setDeviceType(eDeviceTypeComponentID);

        std::string id = componentID;
        CSoftwareComponentInfo package;
        const std::string marketingName = package.getMarketingNameForNonPCIDevice(id);
        device->setDisplay(marketingName.empty() ? device->getDeviceName() : marketingName);

        device->setStatus(0);
        device->setDeviceHandle(address);
        devices.push_back(device);
    }
    Log(__LINE__, "LUMOSwitchMgmt::enumerateAndSetDeviceInfo() end");
}

bool LUMOSwitchMgmt::getCtrlInventory(_SL_CTRL_LIST_T& list)
{
    Log(__LINE__, "LUMOSwitchMgmt::getCtrlInventory() start");
    const uint32_t rc = talker.doProcessLibCommand(
        storelib::kCmdTypeLib, storelib::kCmdInitLib, storelib::kCtrlIdIT, 0, list.bytes(),
        static_cast<uint32_t>(_SL_CTRL_LIST_T::kSize), storelib::kFlashOptionNone);
    bool ok = true;
    if (rc == storelib::kResultLibraryUnavailable) {
        Log(__LINE__, "getCtrlInventory(): storelibIt init error");
        ok = false;
    } else if (rc != 0) {
        Log(__LINE__, "getCtrlInventory(): storelibIt another error");
        ok = false;
    }
    // Without a library that starts no switch can be seen: that is not a
    // board without switches, and the user is told which.
    if (!ok && !talker.LoadFailure().empty()) {
        m_strLibraryFailure = "cannot load the storage library: " + talker.LoadFailure();
    } else if (!ok) {
        char code[16];
        std::snprintf(code, sizeof(code), "0x%X", unsigned(rc));
        m_strLibraryFailure = "the storage library " + talker.LoadedLibrary() +
                              " did not start: it answered " + code + " to INIT_LIB";
    }
    Log(__LINE__, "LUMOSwitchMgmt::getCtrlInventory() end");
    return ok;
}

void LUMOSwitchMgmt::getBackendPDList(
    uint32_t ctrlId, std::map<std::string, std::pair<uint32_t, uint16_t>>& switches)
{
    Log(__LINE__, "LUMOSwitchMgmt::getBackendPDList() start");
    CPDList list;
    if (!list.valid()) {
        Log(__LINE__, "getBackendPDList(): out of memory for the device list");
        Log(__LINE__, "LUMOSwitchMgmt::getBackendPDList() end");
        return;
    }
    _SL_LIB_CMD_PARAM_T record;
    record.setCmdType(storelib::kCmdTypeCtrl);
    record.setCmd(storelib::kCmdGetPdList);
    record.setCtrlId(ctrlId);
    record.setDataSize(static_cast<uint32_t>(CPDList::kSize));
    record.setDataPtr(list.bytes());
    const uint32_t rc = talker.ProcessLibCommand(record);
    if (rc != 0) {
        std::ostringstream oss;
        oss << "getBackendPDList(): non-zero storelibIT error for SL_GET_PD_LIST command, nResult "
               "= "
            << rc;
        LogStream(__LINE__, oss);
    }
    const uint32_t count = list.getCount();
    for (uint32_t i = 0; i < count && i < CPDList::kMaxEntries; ++i) {
        const uint8_t type = list.getPeripheralType(i);
        if (type != storelib::kPeripheralEnclosure && type != storelib::kPeripheralUnknown) {
            Log(__LINE__, "getBackendPDList(): scsi device type is non 0xd or  non 0x1f");
            continue;
        }
        const uint16_t deviceId = list.getDeviceId(i);
        const std::string serial = getVPDpageInformation(ctrlId, deviceId);
        if (serial.empty()) {
            Log(__LINE__, "getBackendPDList(): empty platform serial");
            continue;
        }
        switches[serial] = std::make_pair(ctrlId, deviceId);
    }
    Log(__LINE__, "LUMOSwitchMgmt::getBackendPDList() end");
}

std::string LUMOSwitchMgmt::getVPDpageInformation(uint32_t ctrlId, uint16_t deviceId)
{
    Log(__LINE__, "LUMOSwitchMgmt::getVPDpageInformation() start");
    const scsi::Cdb6 cdb = scsi::InquiryVpd(scsi::kVpdUnitSerialNumber, kVpdBufferSize);
    uint8_t buffer[kVpdBufferSize] = {};
    const uint32_t rc = talker.SCSIPassThrough(ctrlId, deviceId, cdb.data(), cdb.size(), buffer,
                                               sizeof(buffer), CPassThruRecord::kDirFromDevice);
    if (rc != 0) {
        Log(__LINE__, "getVPDpageInformation(): scsi pass thru failed for retrieving VPD page");
        return std::string();
    }
    const size_t length = buffer[3];
    // The page length is the device's claim; only what the buffer received is used.
    const size_t take = length < kVpdSerialMax ? length : kVpdSerialMax;
    const std::string serial =
        CStringUtils::trim_string(std::string(reinterpret_cast<const char*>(buffer + 4), take));
    std::ostringstream oss;
    oss << "getVPDpageInformation() : platform serial length = " << std::hex << length << "\n"
        << "getVPDpageInformation() : device type = " << static_cast<unsigned>(buffer[0]) << "\n"
        << "getVPDpageInformation() : serial no = " << CStringUtils::escapeControl(serial);
    LogStream(__LINE__, oss);
    Log(__LINE__, "LUMOSwitchMgmt::getVPDpageInformation() end");
    return serial;
}

std::string LUMOSwitchMgmt::sendStdInquiry(uint32_t ctrlId, uint16_t deviceId)
{
    Log(__LINE__, "LUMOSwitchMgmt::sendStdInquiry() start");
    const scsi::Cdb6 cdb = scsi::Inquiry(kInquiryBufferSize);
    uint8_t buffer[kInquiryBufferSize] = {};
    const uint32_t rc = talker.SCSIPassThrough(ctrlId, deviceId, cdb.data(), cdb.size(), buffer,
                                               sizeof(buffer), CPassThruRecord::kDirFromDevice);
    if (rc != 0) {
        Log(__LINE__, "sendStdInquiry(): scsi pass thru failed for std inquiry");
        return std::string();
    }
    const std::string model(reinterpret_cast<const char*>(buffer + 16), 16);
    Log(__LINE__, "sendStdInquiry(): model number = " + CStringUtils::escapeControl(model));
    Log(__LINE__, "LUMOSwitchMgmt::sendStdInquiry() end");
    return model;
}

std::string LUMOSwitchMgmt::getFirmwareVersion(uint32_t ctrlId, uint16_t deviceId)
{
    Log(__LINE__, "LUMOSwitchMgmt::getFirmwareVersion() start");
    const scsi::Cdb10 cdb = scsi::ReadBuffer(scsi::kBufferModeVendor, kRevisionBufferId,
                                             kRevisionOffsetBytes, kRevisionLengthBytes);
    uint8_t buffer[kReadBufferSize] = {};
    const uint32_t rc = talker.SCSIPassThrough(ctrlId, deviceId, cdb.data(), cdb.size(), buffer,
                                               sizeof(buffer), CPassThruRecord::kDirFromDevice);
    if (rc != 0) {
        Log(__LINE__, "getFirmwareVersion(): scsi pass thru failed for 0x3c command to read "
                      "firmware revision");
        return std::string();
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", buffer[12], buffer[13], buffer[14],
                  buffer[15]);
    Log(__LINE__, std::string("getFirmwareVersion(): firmware revision - ") + text);
    Log(__LINE__, "LUMOSwitchMgmt::getFirmwareVersion() end");
    return text;
}

std::string LUMOSwitchMgmt::getComponentID(const std::string& platformSerial)
{
    Log(__LINE__, "LUMOSwitchMgmt::getComponentID() start, received platform serial = " +
                      CStringUtils::escapeControl(platformSerial));
    std::string result = kFallbackComponentID;
    if (platformSerial.find(kTestPlatformKey) != std::string::npos) {
        result = kTestPlatformComponentID;
    }
    for (const SPlatformSerialRow& row : PlatformSerialTable()) {
        if (platformSerial.find(row.key) != std::string::npos) {
            result = row.componentID;
            break;
        }
    }
    Log(__LINE__, "LUMOSwitchMgmt::getComponentID() end");
    return result;
}

// ------------------------------------------------------------ update driver

std::vector<CDeviceInfo*> LUMOSwitchMgmt::GetInventory()
{
    Log(__LINE__, "LUMOSwitchMgmt::GetInventory() Start");
    std::vector<CDeviceInfo*> devices;
    discoverLUMOSwitch(devices);
    std::unique_ptr<IDeviceXMLWriter> writer(new (std::nothrow) CInventoryXMLWriter());
    generateXML(writer.get(), devices, m_strOutputFileName);
    writer.reset();
    Log(__LINE__, "LUMOSwitchMgmt::GetInventory() End");
    return devices;
}

std::vector<CDeviceInfo*> LUMOSwitchMgmt::Update()
{
    Log(__LINE__, "LUMOSwitchMgmt::Update() Start");
    std::vector<CDeviceInfo*> devices;
    if (updateDevices(devices)) {
        Log(__LINE__, "Update: update devices success, now staging powercycle");
        bool staged = false;
        // Stopped by a signal: no power cycle is asked for, and the switches
        // that took their image say it must be done by hand.
        const bool stopped = interruption::StopRequested();
        std::unique_ptr<IPowerCycleStaging> staging =
            !stopped && m_seams.stagingFactory ? m_seams.stagingFactory(*m_seams.progress)
                                               : nullptr;
        if (stopped) {
            Log(__LINE__, "Update: stopped by signal " +
                              std::to_string(interruption::PendingSignal()) +
                              ", power cycle not staged.");
        } else if (!staging) {
            Log(__LINE__, "Update: Exception while creating rollback wrapper.");
        } else if (staging->regPowerCycle() == 0) {
            Log(__LINE__, "Update: Staging power cycle success.");
            staged = true;
        } else {
            Log(__LINE__, "Update: Staging power cycle failed.");
        }
        staging.reset();
        if (m_seams.pendingPowerCycle) {
            m_seams.pendingPowerCycle->Record(PendingSwitches(devices), staged);
        }
        if (!staged) {
            Log(__LINE__, "Update:Setting msg to power cycle manually.");
            // Only the switches that took the image wait for a power cycle; a
            // failed one keeps its own error text.
            for (CDeviceInfo* device : devices) {
                if (device->getStatus() == 0 && device->getRebootRequired()) {
                    device->setRebootRequired(false);
                    device->setErrorMsg(kMsgManual);
                }
            }
        }
    } else {
        Log(__LINE__, "Update: update devices failed");
    }
    std::unique_ptr<CUpdateXMLWriter> writer(new (std::nothrow) CUpdateXMLWriter());
    // No switch can be found without the storage library: the report says
    // why there is none when the package's library failed its check.
    const std::pair<std::string, std::string> library = ZUKStoreLibTalker::LibraryRefusal();
    if (writer && devices.empty() && !library.first.empty()) {
        writer->setNoDeviceMessage(RefusedMessage(library.first, library.second));
    }
    generateXML(writer.get(), devices, m_strOutputFileName);
    writer.reset();
    Log(__LINE__, "LUMOSwitchMgmt::Update() End");
    return devices;
}

bool LUMOSwitchMgmt::updateDevices(std::vector<CDeviceInfo*>& devices)
{
    Log(__LINE__, "LUMOSwitchMgmt::updateDevices() start");
    discoverLUMOSwitch(devices);
    if (devices.empty()) {
        Log(__LINE__, "updateDevices(): No LUMO switches");
        return false;
    }
    if (!FilterSupportedDeviceInfo(devices)) {
        Log(__LINE__, "updateDevices(): No device match with package.xml");
        return false;
    }
    Log(__LINE__, "updateDevices(): Filtering of devices from package xml successful");
    std::ostringstream oss;
    oss << "updateDevices():  vec size after filtering = " << devices.size();
    LogStream(__LINE__, oss);

    // The images about to go out replace whatever an earlier run left
    // waiting in these switches.
    if (m_seams.pendingPowerCycle) {
        m_seams.pendingPowerCycle->Forget();
    }
    bool result = false;
    for (CDeviceInfo* device : devices) {
        if (interruption::StopRequested()) {
            Log(__LINE__, "updateDevices(): stopped by signal " +
                              std::to_string(interruption::PendingSignal()) +
                              ", switch not updated");
            device->setStatus(1);
            device->setErrorMsg(kMsgUpdateFailed);
            continue;
        }
        std::string path;
        if (!getPayloadFiles(device->getComponentID(), path)) {
            Log(__LINE__, "updateDevices(): error with payload name = " + path);
            device->setStatus(1);
            device->setErrorMsg(kMsgInvalidImage);
            continue;
        }
        Log(__LINE__, "updateDevices(): Firmware file path for flashing = " + path);
        ImageBuffer image;
        uint64_t length = 0;
        bool refused = false;
        std::string refusal;
        if (!readImgBuffer(path, image, length, &refused, &refusal)) {
            device->setStatus(1);
            // An image the package may not use is not sent: the update failed.
            device->setErrorMsg(!refusal.empty() ? refusal
                                : refused        ? kMsgUpdateFailed
                                                 : kMsgReadFailed);
            Log(__LINE__, refused ? "updateDevices(): firmware image refused, nothing sent"
                                  : "updateDevices(): Failed to read firmware image");
            continue;
        }
        uint32_t ctrlId = 0;
        uint16_t deviceId = 0;
        if (switchaddr::Read(device->getDeviceHandle(), ctrlId, deviceId) &&
            writeBuffer(ctrlId, deviceId, length, image.get())) {
            Log(__LINE__, "updateDevices(): writebuffer success");
            device->setStatus(0);
            device->setRebootRequired(true);
            device->setColdPowerCycleRequired(true);
            device->setErrorMsg(kMsgSuccess);
            result = true;
        } else {
            device->setStatus(1);
            device->setErrorMsg(kMsgUpdateFailed);
            Log(__LINE__, "updateDevices(): writebuffer failure");
        }
    }
    Log(__LINE__, "LUMOSwitchMgmt::updateDevices() end");
    return result;
}

bool LUMOSwitchMgmt::FilterSupportedDeviceInfo(std::vector<CDeviceInfo*>& devices)
{
    Log(__LINE__, "LUMOSwitchMgmt::FilterSupportedDeviceInfo start");
    CSoftwareComponentInfo package;
    const std::vector<SPCIInfo> supported = package.GetAllSupportedDevices();
    if (supported.empty()) {
        Log(__LINE__, "FilterSupportedDeviceInfo: Could not find any devies from package.xml or "
                      "package.xml is not present \n");
        // Nothing was downloaded into these switches: each says so, and why.
        std::string reason = kMsgPackageEmpty;
        if (package.packageState() == CSoftwareComponentInfo::EPackageState::Missing) {
            reason = kMsgPackageMissing;
        } else if (package.packageState() == CSoftwareComponentInfo::EPackageState::Refused) {
            reason = RefusedPackageMessage(package.refusal());
        } else if (package.packageState() == CSoftwareComponentInfo::EPackageState::Unparsable) {
            reason = kMsgPackageUnparsable;
        }
        for (CDeviceInfo* device : devices) {
            device->setStatus(1);
            device->setErrorMsg(reason);
        }
        return false;
    }
    std::ostringstream oss;
    oss << "FilterSupportedDeviceInfo: Found " << supported.size()
        << " set of supported devies from package.xml ";
    LogStream(__LINE__, oss);
    oss << "FilterSupportedDeviceInfo: Device vector size before filtering " << devices.size();
    LogStream(__LINE__, oss);

    bool result = false;
    size_t k = 0;
    for (auto it = devices.begin(); it != devices.end(); ++k) {
        const std::string componentID = (*it)->getComponentID();
        Log(__LINE__, "FilterSupportedDeviceInfo: From system  component ID " + componentID);
        const uint64_t wanted = CStringUtils::Hex2Dec(componentID);
        bool match = false;
        for (const SPCIInfo& entry : supported) {
            Log(__LINE__,
                "FilterSupportedDeviceInfo: From package.xml component ID " + entry.strComponentID);
            if (CStringUtils::Hex2Dec(entry.strComponentID) == wanted) {
                match = true;
                break;
            }
        }
        if (match) {
            oss << "FilterSupportedDeviceInfo: Match Found with package.xml for device for element "
                << k << " in device vector ";
            LogStream(__LINE__, oss);
            result = true;
            ++it;
        } else {
            oss << "FilterSupportedDeviceInfo: Failed to find a match with package.xml for device "
                   "element "
                << k << " in device vector and  hence skipping this Drive ";
            LogStream(__LINE__, oss);
            // The vector was the record's only owner: release it with its address.
            CDeviceInfo* removed = *it;
            it = devices.erase(it);
            std::free(removed->getDeviceHandle());
            delete removed;
        }
    }
    oss << "FilterSupportedDeviceInfo: device vector size after filtering " << devices.size();
    LogStream(__LINE__, oss);
    Log(__LINE__, "LUMOSwitchMgmt::FilterSupportedDeviceInfo end");
    return result;
}

bool LUMOSwitchMgmt::getPayloadFiles(const std::string& componentID, std::string& path)
{
    Log(__LINE__,
        "LUMOSwitchMgmt::getPayloadFiles() start, received component id = " + componentID);
    path = CPlatformLayer::getCurrentProcessDirectory() + "payload";
    CSoftwareComponentInfo package;
    const std::vector<SPCIInfo> supported = package.GetAllSupportedDevices();
    bool found = false;
    for (const SPCIInfo& entry : supported) {
        if (entry.strComponentID != componentID) {
            continue;
        }
        const std::string xpath = "/SoftwareComponent/SupportedDevices/Device[@componentID = \"" +
                                  componentID + "\"]/PayloadConfiguration/Image";
        path += "/" + package.GetValue(xpath, "filename");
        found = true;
    }
    Log(__LINE__, "LUMOSwitchMgmt::getPayloadFiles() end, returning frm file path = " + path);
    return found;
}

int LUMOSwitchMgmt::generateXML(IDeviceXMLWriter* writer, const std::vector<CDeviceInfo*>& devices,
                                const std::string& outputFileName)
{
    Log(__LINE__, "LUMOSwitchMgmt::generateXML() start");
    if (writer == nullptr) {
        Log(__LINE__, "generateXML(): Failed to create auto_ptr to IDeviceXMLWriter");
        return 0;
    }
    int result = 0;
    try {
        result = writer->GetXML(devices, outputFileName) ? 1 : 0;
    } catch (const std::exception& e) {
        Log(__LINE__, std::string("generateXML(): ") + "Exception Is: " + e.what());
        // The reader of the report cannot tell a cut one from a whole one:
        // the caller is told here, and by the status.
        *m_seams.errors << "lumoswitch: " << e.what() << std::endl;
        m_seams.exit(1);
        return 0;
    } catch (...) {
        Log(__LINE__, "generateXML(): pDeviceXmlWriter->GetXML() created an unkown exception");
        *m_seams.errors << "lumoswitch: the report could not be written" << std::endl;
        m_seams.exit(1);
        return 0;
    }
    Log(__LINE__, "LUMOSwitchMgmt::generateXML() end");
    return result;
}

// --------------------------------------------------------- firmware download

namespace
{

// An open descriptor, closed when the holder goes.
class ScopedFd
{
public:
    explicit ScopedFd(int fd = -1) : m_fd(fd) {}
    ~ScopedFd() { reset(); }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

std::vector<std::string> PathComponents(const std::string& relative)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(relative);
    while (std::getline(in, part, '/')) {
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
    }
    return parts;
}

} // namespace

// The image is reached from the payload folder one name at a time, never
// through a link and never upwards, and checked as opened: the name in
// package.xml cannot lead to any file outside payload/, and what is read is
// what was checked.
bool LUMOSwitchMgmt::readImgBuffer(const std::string& path, ImageBuffer& buffer, uint64_t& length,
                                   bool* refused, std::string* refusalMessage)
{
    Log(__LINE__, "LUMOSwitchMgmt::readImgBuffer() start");
    length = 0;
    buffer.reset();
    bool refusal = false;
    std::string why;
    const std::string payload = pkgfiles::Directory() + "payload";
    ScopedFd file;
    if (path.compare(0, payload.size() + 1, payload + "/") != 0) {
        refusal = true;
        why = "it does not lie in " + payload;
    }
    ScopedFd folder;
    if (!refusal) {
        folder.reset(pkgfiles::OpenTrusted(payload, O_RDONLY | O_DIRECTORY, why));
        refusal = folder.get() < 0 && why != pkgfiles::kWhyMissing;
    }
    const std::vector<std::string> parts =
        refusal ? std::vector<std::string>() : PathComponents(path.substr(payload.size() + 1));
    if (!refusal && folder.get() >= 0 && parts.empty()) {
        Log(__LINE__, "readImgBuffer(): file not good");
        return false;
    }
    for (size_t i = 0; !refusal && folder.get() >= 0 && i < parts.size(); ++i) {
        if (parts[i] == "..") {
            refusal = true;
            why = "it leads out of " + payload;
            break;
        }
        const bool last = i + 1 == parts.size();
        const int flags = last ? O_RDONLY | O_NONBLOCK : O_RDONLY | O_DIRECTORY;
        const int fd = openat(folder.get(), parts[i].c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            // A link fails with ELOOP in the last place, with ENOTDIR on the way.
            struct stat link;
            refusal = errno == ELOOP ||
                      (errno == ENOTDIR &&
                       fstatat(folder.get(), parts[i].c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISLNK(link.st_mode));
            why = refusal ? "a symbolic link is on its way" : std::string();
            break;
        }
        struct stat info;
        if (fstat(fd, &info) != 0) {
            close(fd);
            break;
        }
        const std::string problem = pkgfiles::WhyUntrusted(info);
        if (!problem.empty()) {
            close(fd);
            refusal = true;
            why = parts[i] + " " + problem;
            break;
        }
        if (last) {
            file.reset(fd);
            if (S_ISDIR(info.st_mode)) {
                file.reset();
            } else if (!S_ISREG(info.st_mode)) {
                // A FIFO or a device has no size to check and may never end.
                refusal = true;
                why = "it is not a regular file";
            } else if (static_cast<uint64_t>(info.st_size) > kMaxImageSize) {
                refusal = true;
                why = "it has " + std::to_string(info.st_size) + " bytes, more than the " +
                      std::to_string(kMaxImageSize) + " a switch can take";
            } else {
                length = static_cast<uint64_t>(info.st_size);
            }
        } else {
            folder.reset(fd);
        }
    }
    if (refused != nullptr) {
        *refused = refusal;
    }
    if (refusal) {
        length = 0;
        pkgfiles::ReportRefusal(path, why);
        return false;
    }
    if (file.get() < 0) {
        Log(__LINE__, "readImgBuffer(): file not good");
        return false;
    }
    // One spare byte keeps the allocation non-empty for an empty file.
    ImageBuffer data(static_cast<uint8_t*>(std::malloc(length + 1)));
    if (!data || VEXPreadAll(file.get(), data.get(), length, 0) != length) {
        Log(__LINE__, "readImgBuffer(): error reading file");
        length = 0;
        return false;
    }
    // Checked in the buffer the chunks are then sent from, before the first.
    std::string id = "payload";
    for (const std::string& part : parts) {
        id += "/" + part;
    }
    why = pkgtrust::Check(id, data.get(), static_cast<size_t>(length));
    if (!why.empty()) {
        pkgtrust::ReportRefusal(path, why);
        if (refused != nullptr) {
            *refused = true;
        }
        if (refusalMessage != nullptr) {
            *refusalMessage = RefusedMessage(id, why);
        }
        length = 0;
        return false;
    }
    buffer = std::move(data);
    Log(__LINE__, "LUMOSwitchMgmt::readImgBuffer() end");
    return true;
}

bool LUMOSwitchMgmt::writeBuffer(uint32_t ctrlId, uint16_t deviceId, uint64_t length,
                                 const uint8_t* image)
{
    Log(__LINE__, "LUMOSwitchMgmt::writeBuffer() start");
    const uint64_t chunks = (length + kChunkSize - 1) / kChunkSize;
    bool result = chunks != 0;
    std::ostringstream oss;
    if (length > kMaxImageSize) {
        // Later chunks would need offsets past 24 bits and land at the wrong place.
        oss << "writeBuffer(): image of " << length << " bytes is larger than the " << kMaxImageSize
            << " bytes the WRITE BUFFER offset can address; nothing sent";
        LogStream(__LINE__, oss);
        result = false;
    }
    for (uint64_t i = 1; result && i <= chunks; ++i) {
        // A chunk under way is finished; a signal stops the download before
        // the next one, and the switch has not got its image.
        if (interruption::StopRequested()) {
            oss << "writeBuffer(): stopped by signal " << interruption::PendingSignal()
                << " before chunk " << i << " of " << chunks;
            LogStream(__LINE__, oss);
            result = false;
            break;
        }
        const uint32_t offset = static_cast<uint32_t>(kChunkSize * (i - 1));
        const uint32_t chunkLength =
            i < chunks ? kChunkSize : static_cast<uint32_t>(length - offset);
        const scsi::Cdb10 cdb = scsi::WriteBuffer(scsi::kBufferModeData, 0, offset, chunkLength);
        SScsiRequest request;
        request.deviceId = deviceId;
        request.cdb = cdb.data();
        request.cdbLength = cdb.size();
        request.direction = CPassThruRecord::kDirToDevice;
        request.dataOut = image + offset;
        request.dataLength = chunkLength;
        request.spareBytes = 0;
        SScsiReply reply;
        const uint32_t rc = talker.PassThrough(ctrlId, request, reply);
        if (!reply.recordBuilt) {
            oss << "writeBuffer(): no memory for chunk " << i << " of " << chunks << " at offset "
                << offset;
            LogStream(__LINE__, oss);
            result = false;
            break;
        }
        if (rc != 0) {
            oss << "writeBuffer(): chunk " << i << " of " << chunks << " at offset " << offset
                << ", length " << chunkLength << " failed";
            LogStream(__LINE__, oss);
            oss << "writeBuffer(): error from storelibIT, result = " << rc;
            LogStream(__LINE__, oss);
            result = false;
            break;
        }
        // A switch that answers CHECK CONDITION has not taken the chunk, even
        // though the library delivered the command.
        if (reply.status != 0) {
            oss << "writeBuffer(): chunk " << i << " of " << chunks << " at offset " << offset
                << ", length " << chunkLength << " rejected by the switch: non-zero SCSIStatus="
                << static_cast<unsigned>(reply.status)
                << SenseText(reply.sense, CPassThruRecord::kSenseSize);
            LogStream(__LINE__, oss);
            Log(__LINE__, "writeBuffer(): SenseData=");
            Log(__LINE__, scsi::SenseBytesText(reply.sense, CPassThruRecord::kSenseSize));
            result = false;
            break;
        }
        m_seams.progress->ChunkSent(ProgressTarget(ctrlId, deviceId), i, chunks,
                                    offset + chunkLength, length);
    }
    m_seams.progress->Finished();
    Log(__LINE__, "LUMOSwitchMgmt::writeBuffer() end");
    return result;
}
