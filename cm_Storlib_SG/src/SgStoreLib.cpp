#include "SgStoreLib.h"

#include <scsi/sg_lib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "StoreLibRecords.h"

namespace sgstorelib
{
namespace
{

const char kSysClass[] = "/sys/class/scsi_generic";

constexpr uint16_t kDefaultTimeoutSeconds = 30;

using Cmd = _SL_LIB_CMD_PARAM_T;
using Pt = CPassThruRecord;

// "sg12" -> 12; anything else is not a name this library opens.
bool ParseSgName(const std::string& name, unsigned& number)
{
    if (name.size() < 3 || name.size() > 8 || name.compare(0, 2, "sg") != 0) {
        return false;
    }
    unsigned long v = 0;
    for (size_t i = 2; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
        v = v * 10 + static_cast<unsigned>(name[i] - '0');
    }
    if (v > 0xFFFF) {
        return false; // the record's device ID is 16 bits wide
    }
    number = static_cast<unsigned>(v);
    return true;
}

bool ParseUnsigned(const char*& p, unsigned& out)
{
    if (*p < '0' || *p > '9') {
        return false;
    }
    unsigned long v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<unsigned>(*p++ - '0');
        if (v > UINT_MAX) {
            return false;
        }
    }
    out = static_cast<unsigned>(v);
    return true;
}

// The last path component of the device link, "H:C:T:L".
bool ParseHctl(const std::string& link, ScsiDevice& d)
{
    const size_t slash = link.rfind('/');
    const std::string last = slash == std::string::npos ? link : link.substr(slash + 1);
    const char* p = last.c_str();
    unsigned* parts[4] = {&d.host, &d.channel, &d.target, &d.lun};
    for (int i = 0; i < 4; ++i) {
        if (!ParseUnsigned(p, *parts[i])) {
            return false;
        }
        if (i < 3 && *p++ != ':') {
            return false;
        }
    }
    return *p == '\0';
}

bool ParseType(const std::string& text, uint8_t& type)
{
    const char* p = text.c_str();
    unsigned v = 0;
    if (!ParseUnsigned(p, v) || v > 0x1F) {
        return false;
    }
    while (*p == '\n' || *p == ' ') {
        ++p;
    }
    if (*p != '\0') {
        return false;
    }
    type = static_cast<uint8_t>(v);
    return true;
}

} // namespace

SgStoreLib::SgStoreLib(std::shared_ptr<IScsiGenericSystem> system) : m_system(std::move(system)) {}

SgStoreLib::~SgStoreLib()
{
    closeAll();
}

void SgStoreLib::closeAll()
{
    for (const auto& entry : m_fds) {
        m_system->CloseDevice(entry.second);
    }
    m_fds.clear();
}

bool SgStoreLib::IsUnitAttentionToRetry(const uint8_t* sense, int length)
{
    sg_scsi_sense_hdr hdr;
    if (sense == nullptr || length <= 0 || !sg_scsi_normalize_sense(sense, length, &hdr)) {
        return false;
    }
    if (hdr.sense_key != SPC_SK_UNIT_ATTENTION) {
        return false;
    }
    // Power on, reset and their kinds; microcode changed (either form);
    // reported LUNs changed. Each says the command was not run.
    if (hdr.asc == 0x29 && hdr.ascq <= 0x07) {
        return true;
    }
    return hdr.asc == 0x3F && (hdr.ascq == 0x01 || hdr.ascq == 0x0E || hdr.ascq == 0x16);
}

uint32_t SgStoreLib::Process(uint8_t* rec)
{
    if (rec == nullptr) {
        return kResultBadRecord;
    }
    const uint8_t type = rec[Cmd::kOffCmdType];
    const uint8_t cmd = rec[Cmd::kOffCmd];
    const uint32_t ctrlId = storelib::GetLE32(rec + Cmd::kOffCtrlId);
    const uint32_t size = storelib::GetLE32(rec + Cmd::kOffDataSize);
    uint8_t* data = reinterpret_cast<uint8_t*>(
        static_cast<uintptr_t>(storelib::GetLE64(rec + Cmd::kOffDataPtr)));
    if (size != 0 && data == nullptr) {
        return kResultBadRecord;
    }
    if (type == storelib::kCmdTypeLib && cmd == storelib::kCmdInitLib) {
        return initLib(data, size);
    }
    if (type == storelib::kCmdTypeLib && cmd == storelib::kCmdExitLib) {
        closeAll();
        m_devices.clear();
        m_hosts.clear();
        m_initialised = false;
        return 0;
    }
    if (!m_initialised) {
        return kResultNotInitialised;
    }
    if (type == storelib::kCmdTypeCtrl && cmd == storelib::kCmdGetPdList) {
        return pdList(ctrlId, data, size);
    }
    if (type == storelib::kCmdTypePassThru && cmd == storelib::kCmdScsiPassThru) {
        return passThru(ctrlId, storelib::GetLE16(rec + Cmd::kOffCmdParam), data, size);
    }
    return kResultUnknownCommand;
}

void SgStoreLib::scan()
{
    m_devices.clear();
    m_hosts.clear();
    std::vector<std::string> names;
    if (!m_system->ListDir(kSysClass, names)) {
        return; // no sg driver: no controllers
    }
    for (const std::string& name : names) {
        ScsiDevice d;
        if (!ParseSgName(name, d.sgNumber)) {
            continue;
        }
        const std::string base = std::string(kSysClass) + "/" + name + "/device";
        std::string link, typeText;
        if (!m_system->ReadLink(base, link) || !ParseHctl(link, d) || d.host > 0x00FFFFFFu) {
            continue;
        }
        if (!m_system->ReadText(base + "/type", typeText) || !ParseType(typeText, d.type)) {
            continue;
        }
        m_devices.push_back(d);
    }
    std::sort(m_devices.begin(), m_devices.end(),
              [](const ScsiDevice& a, const ScsiDevice& b) { return a.sgNumber < b.sgNumber; });
    for (const ScsiDevice& d : m_devices) {
        if ((d.type == storelib::kPeripheralEnclosure || d.type == storelib::kPeripheralUnknown) &&
            std::find(m_hosts.begin(), m_hosts.end(), d.host) == m_hosts.end()) {
            m_hosts.push_back(d.host);
        }
    }
    std::sort(m_hosts.begin(), m_hosts.end());
    if (m_hosts.size() > _SL_CTRL_LIST_T::kMaxControllers) {
        m_hosts.resize(_SL_CTRL_LIST_T::kMaxControllers);
    }
}

uint32_t SgStoreLib::initLib(uint8_t* data, uint32_t size)
{
    if (size != _SL_CTRL_LIST_T::kSize) {
        return kResultBadRecord;
    }
    closeAll();
    scan();
    std::memset(data, 0, _SL_CTRL_LIST_T::kSize);
    storelib::PutLE16(data + _SL_CTRL_LIST_T::kOffCount, static_cast<uint16_t>(m_hosts.size()));
    for (size_t i = 0; i < m_hosts.size(); ++i) {
        storelib::PutLE32(data + _SL_CTRL_LIST_T::kOffIds + 4 * i,
                          storelib::kCtrlIdIT | m_hosts[i]);
    }
    m_initialised = true;
    return 0;
}

uint32_t SgStoreLib::pdList(uint32_t ctrlId, uint8_t* data, uint32_t size)
{
    if (size != CPDList::kSize) {
        return kResultBadRecord;
    }
    const unsigned host = ctrlId & 0x00FFFFFFu;
    if ((ctrlId & 0xFF000000u) != storelib::kCtrlIdIT ||
        std::find(m_hosts.begin(), m_hosts.end(), host) == m_hosts.end()) {
        return kResultNoController;
    }
    std::memset(data, 0, CPDList::kSize);
    uint32_t count = 0;
    for (const ScsiDevice& d : m_devices) {
        if (d.host != host || count == CPDList::kMaxEntries) {
            continue;
        }
        uint8_t* e = data + CPDList::kOffEntries + CPDList::kEntrySize * count;
        storelib::PutLE16(e + CPDList::kEntryOffDeviceId, static_cast<uint16_t>(d.sgNumber));
        e[CPDList::kEntryOffPeripheralType] = d.type;
        ++count;
    }
    storelib::PutLE32(data + CPDList::kOffSize, static_cast<uint32_t>(CPDList::kSize));
    storelib::PutLE32(data + CPDList::kOffCount, count);
    return 0;
}

const ScsiDevice* SgStoreLib::findDevice(uint32_t ctrlId, uint16_t deviceId) const
{
    if ((ctrlId & 0xFF000000u) != storelib::kCtrlIdIT) {
        return nullptr;
    }
    const unsigned host = ctrlId & 0x00FFFFFFu;
    for (const ScsiDevice& d : m_devices) {
        if (d.host == host && d.sgNumber == deviceId) {
            return &d;
        }
    }
    return nullptr;
}

// The node is opened on first use and kept; before that the sysfs link must
// still name the device the scan found, so a renumbered node is not used.
int SgStoreLib::deviceFd(const ScsiDevice& device, uint32_t& failure)
{
    const auto it = m_fds.find(device.sgNumber);
    if (it != m_fds.end()) {
        return it->second;
    }
    const std::string name = "sg" + std::to_string(device.sgNumber);
    std::string link;
    ScsiDevice now;
    if (!m_system->ReadLink(std::string(kSysClass) + "/" + name + "/device", link) ||
        !ParseHctl(link, now) || now.host != device.host || now.channel != device.channel ||
        now.target != device.target || now.lun != device.lun) {
        failure = kResultDeviceGone;
        return -1;
    }
    const int fd = m_system->OpenDevice("/dev/" + name);
    if (fd < 0) {
        failure = (fd == -ENOENT || fd == -ENODEV || fd == -ENXIO) ? kResultDeviceGone
                                                                   : kResultOpenFailed;
        return -1;
    }
    m_fds[device.sgNumber] = fd;
    return fd;
}

uint32_t SgStoreLib::passThru(uint32_t ctrlId, uint16_t paramDevice, uint8_t* pt, uint32_t size)
{
    if (size < Pt::kHeaderSize) {
        return kResultBadRecord;
    }
    const uint32_t length = storelib::GetLE32(pt + Pt::kOffDataLength);
    const uint8_t cdbLength = pt[Pt::kOffCdbLength];
    if (uint64_t(length) + Pt::kHeaderSize > size || length > INT_MAX || cdbLength == 0 ||
        cdbLength > Pt::kMaxCdbLength || storelib::GetLE16(pt + Pt::kOffDeviceId) != paramDevice) {
        return kResultBadRecord;
    }
    Direction dir = Direction::None;
    switch (pt[Pt::kOffDirection]) {
    case Pt::kDirToDevice:
    case Pt::kDirBoth:
        dir = Direction::ToDevice;
        break;
    case Pt::kDirFromDevice:
        dir = Direction::FromDevice;
        break;
    default:
        if (length != 0) {
            return kResultBadRecord;
        }
    }
    if (length == 0) {
        dir = Direction::None;
    }
    const ScsiDevice* device = findDevice(ctrlId, paramDevice);
    if (device == nullptr) {
        return kResultNoDevice;
    }
    pt[Pt::kOffScsiStatus] = 0;
    std::memset(pt + Pt::kOffSense, 0, Pt::kSenseSize);

    uint32_t failure = 0;
    const int fd = deviceFd(*device, failure);
    if (fd < 0) {
        return failure;
    }

    uint16_t timeout = storelib::GetLE16(pt + Pt::kOffTimeout);
    if (timeout == 0) {
        timeout = kDefaultTimeoutSeconds;
    }
    // The record's timeout bounds the whole exchange, resends included.
    const int64_t deadline = m_system->NowMs() + int64_t(timeout) * 1000;
    uint8_t cdb[Pt::kMaxCdbLength];
    std::memcpy(cdb, pt + Pt::kOffCdb, cdbLength);
    uint8_t sense[64];
    ScsiCommand command;
    command.cdb = cdb;
    command.cdbLength = cdbLength;
    command.direction = dir;
    command.data = pt + Pt::kHeaderSize;
    // The transfer length is the buffer the caller gave, whatever allocation
    // length the CDB names: the kernel must never be told to move more.
    command.dataLength = static_cast<int>(length);
    command.sense = sense;
    command.senseCapacity = sizeof(sense);

    ScsiOutcome out;
    for (int attempt = 0;; ++attempt) {
        const int64_t left = deadline - m_system->NowMs();
        if (left <= 0) {
            return kResultTimeout;
        }
        command.timeoutSeconds = static_cast<int>((left + 999) / 1000);
        std::memset(sense, 0, sizeof(sense));
        out = m_system->Execute(fd, command);
        if (out.category == ScsiOutcome::Sense && attempt < kUnitAttentionRetries &&
            IsUnitAttentionToRetry(sense, std::min<int>(out.senseLength, sizeof(sense)))) {
            continue;
        }
        break;
    }

    switch (out.category) {
    case ScsiOutcome::Good:
    case ScsiOutcome::Status:
    case ScsiOutcome::Sense:
        break;
    case ScsiOutcome::Timeout:
        return kResultTimeout;
    case ScsiOutcome::Transport:
        return kResultTransport;
    case ScsiOutcome::OsError:
    case ScsiOutcome::NotStarted:
    default:
        if (out.osError == ENODEV || out.osError == ENXIO) {
            m_system->CloseDevice(fd);
            m_fds.erase(device->sgNumber);
            return kResultDeviceGone;
        }
        return kResultOsError;
    }
    pt[Pt::kOffScsiStatus] = static_cast<uint8_t>(out.status);
    const int senseLength = std::max(0, std::min<int>(out.senseLength, Pt::kSenseSize));
    std::memcpy(pt + Pt::kOffSense, sense, static_cast<size_t>(senseLength));
    if (dir != Direction::None) {
        const uint32_t resid =
            static_cast<uint32_t>(std::max(0, std::min<int>(out.resid, static_cast<int>(length))));
        storelib::PutLE32(pt + Pt::kOffDataLength, length - resid);
    }
    return 0;
}

} // namespace sgstorelib
