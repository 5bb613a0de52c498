#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ScsiCommands.h"

namespace
{

using Bytes = std::vector<uint8_t>;

struct BigEndianCase {
    int bits;
    uint32_t value;
    Bytes bytes;
    uint32_t readBack; // what the getter returns from those bytes
};

TEST(BigEndianTest, FieldsAreWrittenMostSignificantByteFirstAndReadBack)
{
    const BigEndianCase cases[] = {
        {16, 0x0000, {0x00, 0x00}, 0x0000},
        {16, 0x1C3C, {0x1C, 0x3C}, 0x1C3C},
        {16, 0xFFFF, {0xFF, 0xFF}, 0xFFFF},
        {24, 0xFF8000, {0xFF, 0x80, 0x00}, 0xFF8000},
        {24, 0x000001, {0x00, 0x00, 0x01}, 0x000001},
        // A 24-bit field keeps the low 24 bits only.
        {24, 0x01000000, {0x00, 0x00, 0x00}, 0x000000},
        {24, 0xAB123456, {0x12, 0x34, 0x56}, 0x123456},
        {32, 0x01020304, {0x01, 0x02, 0x03, 0x04}, 0x01020304},
        {32, 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFF},
    };
    for (const BigEndianCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << "-bit 0x" << std::hex << c.value);
        // A guard byte on either side shows a write that strays.
        Bytes buffer(c.bytes.size() + 2, 0xEE);
        uint32_t got = 0;
        if (c.bits == 16) {
            scsi::PutBE16(&buffer[1], static_cast<uint16_t>(c.value));
            got = scsi::GetBE16(&buffer[1]);
        } else if (c.bits == 24) {
            scsi::PutBE24(&buffer[1], c.value);
            got = scsi::GetBE24(&buffer[1]);
        } else {
            scsi::PutBE32(&buffer[1], c.value);
            got = scsi::GetBE32(&buffer[1]);
        }
        Bytes expected = c.bytes;
        expected.insert(expected.begin(), 0xEE);
        expected.push_back(0xEE);
        EXPECT_EQ(expected, buffer);
        EXPECT_EQ(c.readBack, got);
    }
}

struct CdbCase {
    const char* name;
    Bytes built;
    Bytes expected;
};

template <size_t N> Bytes B(const std::array<uint8_t, N>& cdb)
{
    return Bytes(cdb.begin(), cdb.end());
}

// The command blocks as the switches have always received them.
TEST(ScsiCommandsTest, EachBuilderLaysOutItsNamedFields)
{
    const CdbCase cases[] = {
        {"standard INQUIRY", B(scsi::Inquiry(60)), {0x12, 0x00, 0x00, 0x00, 0x3C, 0x00}},
        {"INQUIRY with a 16-bit length",
         B(scsi::Inquiry(0x0102)),
         {0x12, 0x00, 0x00, 0x01, 0x02, 0x00}},
        {"unit serial number page",
         B(scsi::InquiryVpd(scsi::kVpdUnitSerialNumber, 28)),
         {0x12, 0x01, 0x80, 0x00, 0x1C, 0x00}},
        {"READ BUFFER, vendor mode",
         B(scsi::ReadBuffer(scsi::kBufferModeVendor, 0xE6, 0xE00700, 0x3C0000)),
         {0x3C, 0x01, 0xE6, 0xE0, 0x07, 0x00, 0x3C, 0x00, 0x00, 0x00}},
        {"WRITE BUFFER, first chunk",
         B(scsi::WriteBuffer(scsi::kBufferModeData, 0, 0, 0x8000)),
         {0x3B, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00}},
        {"WRITE BUFFER, last chunk of 16 MiB",
         B(scsi::WriteBuffer(scsi::kBufferModeData, 0, 0xFF8000, 0x8000)),
         {0x3B, 0x02, 0x00, 0xFF, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00}},
        {"WRITE BUFFER, short tail",
         B(scsi::WriteBuffer(scsi::kBufferModeData, 0, 0x18000, 0x6A0)),
         {0x3B, 0x02, 0x00, 0x01, 0x80, 0x00, 0x00, 0x06, 0xA0, 0x00}},
    };
    for (const CdbCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, c.built);
    }
}

struct SenseCase {
    const char* name;
    Bytes sense;
    bool valid;
    uint8_t key, asc, ascq;
};

TEST(ScsiSenseTest, KeyAscAndAscqComeFromFixedAndDescriptorFormats)
{
    Bytes fixedCurrent(18, 0);
    fixedCurrent[0] = 0xF0; // valid bit set: the format is still 70h
    fixedCurrent[2] = 0x25; // ILI bit beside the key
    fixedCurrent[12] = 0x24;
    fixedCurrent[13] = 0x01;
    Bytes fixedDeferred(18, 0);
    fixedDeferred[0] = 0x71;
    fixedDeferred[2] = 0x06;
    fixedDeferred[12] = 0x29;
    const SenseCase cases[] = {
        {"fixed, current", fixedCurrent, true, 0x5, 0x24, 0x01},
        {"fixed, deferred", fixedDeferred, true, 0x6, 0x29, 0x00},
        {"descriptor, current", {0x72, 0x03, 0x11, 0x00, 0, 0, 0, 0}, true, 0x3, 0x11, 0x00},
        {"descriptor, deferred", {0x73, 0x0B, 0x47, 0x03}, true, 0xB, 0x47, 0x03},
        {"fixed, cut before the ASC", Bytes(fixedCurrent.begin(), fixedCurrent.begin() + 13), false,
         0, 0, 0},
        {"descriptor, cut before the ASCQ", {0x72, 0x03, 0x11}, false, 0, 0, 0},
        {"no sense data", Bytes(32, 0), false, 0, 0, 0},
        {"vendor format", {0x7F, 0x05, 0x24, 0x00}, false, 0, 0, 0},
        {"empty", {}, false, 0, 0, 0},
    };
    for (const SenseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const scsi::SenseCodes codes = scsi::DecodeSense(c.sense.data(), c.sense.size());
        EXPECT_EQ(c.valid, codes.valid);
        EXPECT_EQ(c.key, codes.key);
        EXPECT_EQ(c.asc, codes.asc);
        EXPECT_EQ(c.ascq, codes.ascq);
    }
    EXPECT_STREQ("ILLEGAL REQUEST", scsi::SenseKeyName(0x5));
    EXPECT_STREQ("UNIT ATTENTION", scsi::SenseKeyName(0x6));
    EXPECT_STREQ("COMPLETED", scsi::SenseKeyName(0xF));
}

} // namespace
