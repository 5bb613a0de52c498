#pragma once

// The IT storage library's records served over the Linux SCSI generic driver.
// Controllers are SCSI hosts that carry at least one enclosure (0x0D) or
// unknown-type (0x1F) device; their devices are the host's sg nodes, with the
// sg number as device ID. A pass-through sends the record's CDB unchanged.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "IScsiGenericSystem.h"

namespace sgstorelib
{

// Results of this library (0 is success; the program passes them up as they
// are). Kept away from the program's own 0x8002.
constexpr uint32_t kResultBadRecord = 0x8101;
constexpr uint32_t kResultNotInitialised = 0x8102;
constexpr uint32_t kResultNoController = 0x8103;
constexpr uint32_t kResultNoDevice = 0x8104;
constexpr uint32_t kResultDeviceGone = 0x8105;
constexpr uint32_t kResultOpenFailed = 0x8106;
constexpr uint32_t kResultTimeout = 0x8107;
constexpr uint32_t kResultTransport = 0x8108;
constexpr uint32_t kResultOsError = 0x8109;
constexpr uint32_t kResultUnknownCommand = 0x810A;

// Resends of a command the device answered with a unit attention that says
// it did not run it; a device stuck in that state gets its sense passed up.
constexpr int kUnitAttentionRetries = 3;

struct ScsiDevice {
    unsigned sgNumber = 0;
    unsigned host = 0, channel = 0, target = 0, lun = 0;
    uint8_t type = 0;
};

class SgStoreLib
{
public:
    explicit SgStoreLib(std::shared_ptr<IScsiGenericSystem> system = MakeRealScsiGenericSystem());
    ~SgStoreLib();
    SgStoreLib(const SgStoreLib&) = delete;
    SgStoreLib& operator=(const SgStoreLib&) = delete;

    // The entry point's work: one 40-byte command record.
    uint32_t Process(uint8_t* record);

    static bool IsUnitAttentionToRetry(const uint8_t* sense, int length);

private:
    uint32_t initLib(uint8_t* data, uint32_t size);
    uint32_t pdList(uint32_t ctrlId, uint8_t* data, uint32_t size);
    uint32_t passThru(uint32_t ctrlId, uint16_t deviceId, uint8_t* pt, uint32_t size);
    void scan();
    void closeAll();
    const ScsiDevice* findDevice(uint32_t ctrlId, uint16_t deviceId) const;
    int deviceFd(const ScsiDevice& device, uint32_t& failure);

    std::shared_ptr<IScsiGenericSystem> m_system;
    bool m_initialised = false;
    std::vector<ScsiDevice> m_devices; // every sg device seen by the last scan
    std::vector<unsigned> m_hosts;     // hosts that carry a switch-type device
    std::map<unsigned, int> m_fds;     // sg number -> open descriptor
};

} // namespace sgstorelib
