#include "SwitchTarget.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "SwitchModel.h"

namespace storelibsim
{
namespace
{

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint32_t kBufferCapacity = 1u << 24; // what a 24-bit offset reaches

ScsiAnswer DataIn(std::vector<uint8_t> answer, size_t allocation, size_t length)
{
    ScsiAnswer a;
    size_t n = answer.size();
    n = n < allocation ? n : allocation;
    n = n < length ? n : length;
    answer.resize(n);
    a.dataIn = std::move(answer);
    return a;
}

} // namespace

ScsiAnswer CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq)
{
    ScsiAnswer a;
    a.status = kCheckCondition;
    a.sense.assign(18, 0);
    a.sense[0] = 0x70;
    a.sense[2] = key;
    a.sense[7] = 10;
    a.sense[12] = asc;
    a.sense[13] = ascq;
    return a;
}

SwitchTarget::SwitchTarget(const Controller& controller, const Device& device,
                           std::string imagePath, std::string tracePath)
    : m_controller(controller), m_device(device), m_imagePath(std::move(imagePath))
{
    if (!tracePath.empty()) {
        m_trace = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
}

SwitchTarget::~SwitchTarget()
{
    if (m_image >= 0) {
        close(m_image);
    }
    if (m_trace >= 0) {
        close(m_trace);
    }
}

size_t SwitchTarget::CdbLength(uint8_t opcode)
{
    switch (opcode >> 5) {
    case 0:
        return 6;
    case 1:
    case 2:
        return 10;
    case 4:
        return 16;
    case 5:
        return 12;
    default:
        return 10;
    }
}

void SwitchTarget::trace(const std::string& line)
{
    const std::string text = line + "\n";
    if (m_trace >= 0 && write(m_trace, text.data(), text.size()) < 0) {
        close(m_trace);
        m_trace = -1;
    }
}

ScsiAnswer SwitchTarget::Handle(const uint8_t* cdb, const uint8_t* data, size_t length)
{
    std::string note;
    ScsiAnswer a = handle(cdb, data, length, note);
    std::string line = "cdb=" + HexBytes(cdb, CdbLength(cdb[0])) +
                       " xfer=" + std::to_string(length) + " -> status=" + std::to_string(a.status);
    if (a.status == kCheckCondition && a.sense.size() >= 14) {
        char s[32];
        const bool descriptor = (a.sense[0] & 0x7F) >= 0x72;
        std::snprintf(s, sizeof(s), " sense=%x/%02x/%02x",
                      (descriptor ? a.sense[1] : a.sense[2]) & 0x0F,
                      descriptor ? a.sense[2] : a.sense[12], descriptor ? a.sense[3] : a.sense[13]);
        line += s;
    } else if (a.status == kGood && !a.dataIn.empty()) {
        line += " in=" + std::to_string(a.dataIn.size());
    }
    trace(line + note);
    return a;
}

const Fault* SwitchTarget::fault(uint8_t opcode, int evpd, uint32_t chunk)
{
    for (size_t i = 0; i < m_controller.faults.size(); ++i) {
        const Fault& f = m_controller.faults[i];
        if (f.deviceId != m_device.id || f.opcode != opcode || f.result != 0) {
            continue; // a library result has no SCSI form
        }
        if (f.evpd >= 0 && evpd >= 0 && f.evpd != evpd) {
            continue;
        }
        if (f.chunk != 0 && f.chunk != chunk) {
            continue;
        }
        if (f.once && !m_fired.insert(i).second) {
            continue;
        }
        return &f;
    }
    return nullptr;
}

ScsiAnswer SwitchTarget::handle(const uint8_t* cdb, const uint8_t* data, size_t length,
                                std::string& note)
{
    switch (cdb[0]) {
    case 0x00: // TEST UNIT READY
        return ScsiAnswer();
    case 0x03: { // REQUEST SENSE: nothing pending
        std::vector<uint8_t> s(18, 0);
        s[0] = 0x70;
        s[7] = 10;
        return DataIn(s, cdb[4], length);
    }
    case 0x12:
        return inquiry(cdb, length);
    case 0x3C:
        return readBuffer(cdb, length);
    case 0x3B:
        return writeBuffer(cdb, data, length, note);
    default:
        return CheckCondition(kIllegalRequest, 0x20, 0x00); // invalid command operation code
    }
}

ScsiAnswer SwitchTarget::inquiry(const uint8_t* cdb, size_t length)
{
    const size_t allocation = size_t(cdb[3]) << 8 | cdb[4];
    const bool evpd = (cdb[1] & 0x01) != 0;
    if (const Fault* f = fault(0x12, evpd ? 1 : 0, 0)) {
        ScsiAnswer a;
        a.status = f->status;
        a.sense = f->sense;
        return a;
    }
    if (!evpd) {
        if (cdb[2] != 0) {
            return CheckCondition(kIllegalRequest, 0x24, 0x00);
        }
        return DataIn(StandardInquiry(m_device), allocation, length);
    }
    const uint8_t type = m_device.type & 0x1F;
    switch (cdb[2]) {
    case 0x00:
        return DataIn({type, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83}, allocation, length);
    case 0x80:
        return DataIn(SerialNumberPage(m_device), allocation, length);
    case 0x83: {
        // One T10 vendor ID designator: vendor, then the serial.
        std::vector<uint8_t> page = {type, 0x83, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00};
        std::string id = (m_device.vendor + "        ").substr(0, 8) + m_device.serial;
        if (id.size() > 200) {
            id.resize(200);
        }
        page[7] = static_cast<uint8_t>(id.size());
        page.insert(page.end(), id.begin(), id.end());
        page[3] = static_cast<uint8_t>(page.size() - 4);
        return DataIn(page, allocation, length);
    }
    default:
        return CheckCondition(kIllegalRequest, 0x24, 0x00);
    }
}

ScsiAnswer SwitchTarget::readBuffer(const uint8_t* cdb, size_t length)
{
    if (const Fault* f = fault(0x3C, -1, 0)) {
        ScsiAnswer a;
        a.status = f->status;
        a.sense = f->sense;
        return a;
    }
    // Mode 01h, buffer E6h: the revision record, whatever the offset and
    // allocation bytes say; the initiator's buffer bounds what goes back.
    if ((cdb[1] & 0x1F) == 0x01 && cdb[2] == 0xE6) {
        return DataIn(RevisionRecord(m_device), Be24(cdb + 6), length);
    }
    return CheckCondition(kIllegalRequest, 0x24, 0x00);
}

ScsiAnswer SwitchTarget::writeBuffer(const uint8_t* cdb, const uint8_t* data, size_t length,
                                     std::string& note)
{
    const uint32_t offset = Be24(cdb + 3);
    const uint32_t paramLength = Be24(cdb + 6);
    if ((cdb[1] & 0x1F) != 0x02 || cdb[2] != 0) {
        return CheckCondition(kIllegalRequest, 0x24, 0x00);
    }
    if (paramLength != length) {
        return CheckCondition(kIllegalRequest, 0x1A, 0x00); // parameter list length error
    }
    if (uint64_t(offset) + paramLength > kBufferCapacity) {
        return CheckCondition(kIllegalRequest, 0x24, 0x00);
    }
    if (offset == 0) {
        m_nextOffset = 0;
        m_chunks = 0;
    }
    if (offset != m_nextOffset) {
        note = " out-of-order(expected " + std::to_string(m_nextOffset) + ")";
        return CheckCondition(kIllegalRequest, 0x24, 0x00);
    }
    const uint32_t chunk = m_chunks + 1;
    note = " chunk=" + std::to_string(chunk);
    if (beforeChunk) {
        beforeChunk(chunk);
    }
    if (const Fault* f = fault(0x3B, -1, chunk)) {
        ScsiAnswer a;
        a.status = f->status;
        a.sense = f->sense;
        return a; // not taken
    }
    if (!m_imagePath.empty() && m_device.keepImage) {
        if (offset == 0 && m_image >= 0) {
            close(m_image);
            m_image = -1;
        }
        if (m_image < 0) {
            m_image = open(m_imagePath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        }
        if (m_image < 0 || (offset == 0 && ftruncate(m_image, 0) != 0) ||
            pwrite(m_image, data, paramLength, offset) != static_cast<ssize_t>(paramLength)) {
            return CheckCondition(0x03, 0x0C, 0x00); // medium error, write error
        }
    }
    m_chunks = chunk;
    m_nextOffset = offset + paramLength;
    return ScsiAnswer();
}

} // namespace storelibsim
