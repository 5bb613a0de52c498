#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "IDeviceExecution.h"
#include "IDeviceInventory.h"
#include "PendingPowerCycle.h"
#include "PowerCycleStaging.h"
#include "VEXProgress.h"
#include "ZUKStoreLibTalker.h"

class CDeviceInfo;
class IDeviceXMLWriter;

// Switch address record kept as each switch's device handle: LE32 controller
// ID, LE16 device ID, 16 zero bits, on the C heap and never freed.
namespace switchaddr
{
constexpr size_t kSize = 8;
void* New(uint32_t ctrlId, uint16_t deviceId);
bool Read(const void* record, uint32_t& ctrlId, uint16_t& deviceId);
} // namespace switchaddr

// One row of the built-in platform-serial table.
struct SPlatformSerialRow {
    const char* key;         // platform code + switch position, 8 to 12 characters
    const char* componentID; // six decimal digits
};
// The rows in lookup order (generated from cm_LUMOSwitch/data/platform_serials.csv).
const std::vector<SPlatformSerialRow>& PlatformSerialTable();

// What the manager reaches outside itself; each defaults to the real one.
// The error stream and the progress sink are the caller's and must outlive
// the manager.
struct SLUMOSwitchMgmtSeams {
    std::shared_ptr<IStoreLibSystem> storeLib = std::make_shared<RealStoreLibSystem>();
    // How the power cycle is staged.
    PowerCycleStagingFactory stagingFactory = &MakePowerCycleStaging;
    // Where an update notes what waits for the power cycle.
    std::shared_ptr<IPendingPowerCycleStore> pendingPowerCycle =
        std::make_shared<RealPendingPowerCycleStore>(RealPendingPowerCycleStore::DefaultPaths(),
                                                     &std::cerr);
    // How the process ends when a report writer fails.
    std::function<void(int)> exit = [](int status) { std::exit(status); };
    // Where the lines for the user go.
    std::ostream* errors = &std::cerr;
    // Where the download reports its chunks.
    IProgressSink* progress = &NullProgress();
};

// Device manager for the switch board's PCIe switches: discovery through the
// storage library, the inventory and update passes, and the firmware download.
// One pass per instance.
class LUMOSwitchMgmt : public IDeviceInventory, public IDeviceExecution
{
public:
    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    using ImageBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

    // Largest image the 24-bit buffer offset of WRITE BUFFER can address.
    static constexpr uint64_t kMaxImageSize = uint64_t(1) << 24;
    static constexpr uint32_t kChunkSize = 0x8000;

    using Seams = SLUMOSwitchMgmtSeams;

    explicit LUMOSwitchMgmt(const std::string& outputFileName, Seams seams = Seams());
    ~LUMOSwitchMgmt() override;
    LUMOSwitchMgmt(const LUMOSwitchMgmt&) = delete;
    LUMOSwitchMgmt& operator=(const LUMOSwitchMgmt&) = delete;

    std::vector<CDeviceInfo*> GetInventory() override;
    std::vector<CDeviceInfo*> Update() override;

    // Discovery.
    void discoverLUMOSwitch(std::vector<CDeviceInfo*>& devices);
    void enumerateAndSetDeviceInfo(std::vector<CDeviceInfo*>& devices);
    bool getCtrlInventory(_SL_CTRL_LIST_T& list);
    void getBackendPDList(uint32_t ctrlId,
                          std::map<std::string, std::pair<uint32_t, uint16_t>>& switches);
    std::string getVPDpageInformation(uint32_t ctrlId, uint16_t deviceId);
    std::string sendStdInquiry(uint32_t ctrlId, uint16_t deviceId);
    std::string getFirmwareVersion(uint32_t ctrlId, uint16_t deviceId);
    std::string getComponentID(const std::string& platformSerial);

    // Update driver.
    bool updateDevices(std::vector<CDeviceInfo*>& devices);
    bool FilterSupportedDeviceInfo(std::vector<CDeviceInfo*>& devices);
    bool getPayloadFiles(const std::string& componentID, std::string& path);
    int generateXML(IDeviceXMLWriter* writer, const std::vector<CDeviceInfo*>& devices,
                    const std::string& outputFileName);

    // Firmware download.
    // Reads an image that lies inside the package's payload folder. False
    // when it cannot be read; *refused is set when it may not be used at all
    // (a ".." or a link on the way, not a regular file, not root's, larger
    // than a switch can take, or its bytes failed their check against
    // package.jcat: then *refusalMessage is the report's message, which
    // says why).
    bool readImgBuffer(const std::string& path, ImageBuffer& buffer, uint64_t& length,
                       bool* refused = nullptr, std::string* refusalMessage = nullptr);
    bool writeBuffer(uint32_t ctrlId, uint16_t deviceId, uint64_t length, const uint8_t* image);

    // Why this pass had no working storage library, as a line for the user:
    // none could be loaded (each file tried and why), or the one loaded did
    // not start. Empty when the library worked, whatever it found.
    const std::string& StorageLibraryFailure() const { return m_strLibraryFailure; }

    const std::map<std::string, std::pair<uint32_t, uint16_t>>& getPlatformCtrlDeviceIdMap() const
    {
        return platformCtrlDeviceIdMap;
    }

private:
    Seams m_seams;
    ZUKStoreLibTalker talker;
    std::map<std::string, std::pair<uint32_t, uint16_t>> platformCtrlDeviceIdMap;
    std::string m_strOutputFileName;
    std::string m_strLibraryFailure;
};
