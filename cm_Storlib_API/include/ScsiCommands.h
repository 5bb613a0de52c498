#pragma once

// The SCSI commands the program sends to a switch, each built from its named
// fields, and the decoding of the sense data a switch answers with.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ByteOrder.h"

namespace scsi
{

// SCSI fields are big-endian.
using byteorder::GetBE16;
using byteorder::GetBE24;
using byteorder::GetBE32;
using byteorder::PutBE16;
using byteorder::PutBE24;
using byteorder::PutBE32;

constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpWriteBuffer = 0x3B;
constexpr uint8_t kOpReadBuffer = 0x3C;

constexpr uint8_t kInquiryEvpd = 0x01;
constexpr uint8_t kVpdUnitSerialNumber = 0x80;

constexpr uint8_t kBufferModeVendor = 0x01;
constexpr uint8_t kBufferModeData = 0x02;

using Cdb6 = std::array<uint8_t, 6>;
using Cdb10 = std::array<uint8_t, 10>;

// Standard INQUIRY.
inline Cdb6 Inquiry(uint16_t allocationLength)
{
    Cdb6 cdb{kOpInquiry};
    PutBE16(&cdb[3], allocationLength);
    return cdb;
}

// INQUIRY of one vital product data page.
inline Cdb6 InquiryVpd(uint8_t page, uint16_t allocationLength)
{
    Cdb6 cdb = Inquiry(allocationLength);
    cdb[1] = kInquiryEvpd;
    cdb[2] = page;
    return cdb;
}

// READ BUFFER (10) and WRITE BUFFER (10) share their layout: mode, buffer ID,
// 24-bit buffer offset and 24-bit length.
inline Cdb10 BufferCdb(uint8_t opcode, uint8_t mode, uint8_t bufferId, uint32_t offset,
                       uint32_t length)
{
    Cdb10 cdb{opcode, mode, bufferId};
    PutBE24(&cdb[3], offset);
    PutBE24(&cdb[6], length);
    return cdb;
}

// READ BUFFER. In a vendor mode the offset and length bytes are the device's
// own fields: they are sent exactly as the two words give them.
inline Cdb10 ReadBuffer(uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t allocationLength)
{
    return BufferCdb(kOpReadBuffer, mode, bufferId, offset, allocationLength);
}

// WRITE BUFFER: length is the parameter list length.
inline Cdb10 WriteBuffer(uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t length)
{
    return BufferCdb(kOpWriteBuffer, mode, bufferId, offset, length);
}

// Sense key, additional sense code and qualifier of fixed (70h/71h) or
// descriptor (72h/73h) format sense data; valid is false for anything else.
struct SenseCodes {
    bool valid = false;
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
};

inline SenseCodes DecodeSense(const uint8_t* sense, size_t length)
{
    SenseCodes codes;
    if (sense == nullptr || length == 0) {
        return codes;
    }
    const uint8_t response = sense[0] & 0x7F;
    if ((response == 0x70 || response == 0x71) && length >= 14) {
        codes = {true, static_cast<uint8_t>(sense[2] & 0x0F), sense[12], sense[13]};
    } else if ((response == 0x72 || response == 0x73) && length >= 4) {
        codes = {true, static_cast<uint8_t>(sense[1] & 0x0F), sense[2], sense[3]};
    }
    return codes;
}

inline const char* SenseKeyName(uint8_t key)
{
    static const char* const kNames[16] = {
        "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
        "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
        "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
        "OBSOLETE",       "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED"};
    return kNames[key & 0x0F];
}

// The raw sense bytes as the debug log lists them after a CHECK CONDITION:
// each byte in decimal followed by ':', so a format DecodeSense does not know
// can still be read off the log.
inline std::string SenseBytesText(const uint8_t* sense, size_t length)
{
    std::string text;
    for (size_t i = 0; sense != nullptr && i < length; ++i) {
        text += std::to_string(static_cast<unsigned>(sense[i]));
        text += ':';
    }
    return text;
}

} // namespace scsi
