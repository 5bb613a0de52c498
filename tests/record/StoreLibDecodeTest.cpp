// Reading the program's storage-library records: which command, how large
// its buffer is, and what a pass-through carries. Lengths inside a buffer
// never lead past its end.

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "StoreLibDecode.h"

namespace
{

using lumorecord::BufferSize;
using lumorecord::CommandView;
using lumorecord::DecodeCommand;
using lumorecord::StoreLibOp;

std::vector<uint8_t> Record(uint8_t type, uint8_t cmd, uint32_t size, bool data = true)
{
    std::vector<uint8_t> r(40, 0);
    r[0] = type;
    r[1] = cmd;
    r[4] = 0x00;
    r[7] = 0x05;
    r[8] = 8;
    for (int i = 0; i < 4; ++i)
        r[28 + i] = static_cast<uint8_t>(size >> (8 * i));
    if (data)
        r[32] = 0x10;
    return r;
}

std::vector<uint8_t> PassThru(const std::vector<uint8_t>& cdb, uint32_t len, size_t spare)
{
    std::vector<uint8_t> b(64 + len + spare, 0);
    b[0] = 8;
    b[4] = 1;
    b[11] = static_cast<uint8_t>(cdb.size());
    for (size_t i = 0; i < cdb.size(); ++i)
        b[12 + i] = cdb[i];
    for (int i = 0; i < 4; ++i)
        b[60 + i] = static_cast<uint8_t>(len >> (8 * i));
    return b;
}

TEST(StoreLibDecode, CommandsAndTheirBufferSizes)
{
    const std::vector<uint8_t> pt = PassThru({0x12, 0x01, 0x80, 0x00, 0x1c, 0x00}, 28, 1);
    struct Case {
        std::vector<uint8_t> record;
        const uint8_t* buffer;
        StoreLibOp op;
        long size;
    };
    const std::vector<Case> cases = {
        {Record(0, 0, 260), nullptr, StoreLibOp::InitLib, 260},
        {Record(0, 0, 259), nullptr, StoreLibOp::InitLib, -1},
        {Record(0, 0, 260, false), nullptr, StoreLibOp::InitLib, -1},
        {Record(0, 9, 0, false), nullptr, StoreLibOp::ExitLib, 0},
        {Record(1, 4, 6152), nullptr, StoreLibOp::PdList, 6152},
        {Record(1, 4, 6151), nullptr, StoreLibOp::PdList, -1},
        {Record(6, 0, 93), pt.data(), StoreLibOp::PassThru, 93}, // 64 + 28 + spare
        {Record(6, 0, 92), pt.data(), StoreLibOp::PassThru, 92}, // 64 + 28
        {Record(6, 0, 94), pt.data(), StoreLibOp::PassThru, -1}, // does not fit its length
        {Record(6, 0, 63), pt.data(), StoreLibOp::PassThru, -1}, // shorter than the header
        {Record(6, 0, 93, false), nullptr, StoreLibOp::PassThru, -1},
        {Record(1, 3, 4096), nullptr, StoreLibOp::Unknown, -1},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const CommandView c = DecodeCommand(cases[i].record.data(), 40);
        EXPECT_EQ(c.op, cases[i].op) << i;
        EXPECT_EQ(BufferSize(c, cases[i].buffer), cases[i].size) << i;
    }
    const CommandView c = DecodeCommand(Record(6, 0, 93).data(), 40);
    EXPECT_EQ(c.ctrl, 0x05000000u);
    EXPECT_EQ(c.dev, 8u);
}

TEST(StoreLibDecode, PassThruNamesTheScsiCommand)
{
    struct Case {
        std::vector<uint8_t> cdb;
        std::string scsi;
    };
    const std::vector<Case> cases = {
        {{0x12, 0x01, 0x80, 0x00, 0x1c, 0x00}, "INQUIRY_VPD80"},
        {{0x12, 0x00, 0x00, 0x00, 0x3c, 0x00}, "INQUIRY"},
        {{0x3c, 0x01, 0xe6, 0xe0, 0x07, 0x00, 0x3c, 0x00, 0x00, 0x00}, "READ_BUFFER"},
        {{0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, "CDB_28"},
    };
    for (const Case& c : cases) {
        lumorecord::PassThruView v;
        ASSERT_TRUE(lumorecord::DecodePassThru(PassThru(c.cdb, 28, 1), v));
        EXPECT_EQ(v.scsi, c.scsi);
        EXPECT_TRUE(v.sense.empty());
    }
    // WRITE BUFFER: 24-bit big-endian offset and length; a rejected chunk's sense.
    std::vector<uint8_t> wb =
        PassThru({0x3b, 0x02, 0x00, 0x01, 0x80, 0x00, 0x00, 0x1c, 0x40, 0x00}, 7232, 0);
    wb[10] = 2;
    wb[28] = 0x70;
    lumorecord::PassThruView v;
    ASSERT_TRUE(lumorecord::DecodePassThru(wb, v));
    EXPECT_EQ(v.scsi, "WRITE_BUFFER");
    EXPECT_EQ(v.wbOffset, 0x018000u);
    EXPECT_EQ(v.wbLength, 7232u);
    EXPECT_EQ(v.status, 2u);
    ASSERT_EQ(v.sense.size(), 32u);
    EXPECT_EQ(v.sense[0], 0x70);
    EXPECT_FALSE(lumorecord::DecodePassThru(std::vector<uint8_t>(63, 0), v));
}

TEST(StoreLibDecode, ListCountsNeverReachPastTheList)
{
    std::vector<uint8_t> ctrl(260, 0);
    ctrl[0] = 0xFF; // 65535 controllers claimed
    ctrl[1] = 0xFF;
    ctrl[4] = 0x00;
    ctrl[7] = 0x05;
    const std::string ids = lumorecord::ControllerList(ctrl);
    EXPECT_EQ(ids.substr(0, 9), "05000000,");
    EXPECT_EQ(std::count(ids.begin(), ids.end(), ','), 63);

    std::vector<uint8_t> pd(6152, 0);
    pd[4] = 0xE8; // 1000 devices claimed
    pd[5] = 0x03;
    pd[8] = 8;
    pd[14] = 0x0d;
    const std::string devs = lumorecord::DeviceList(pd);
    EXPECT_EQ(devs.substr(0, 5), "8:0d,");
    EXPECT_EQ(std::count(devs.begin(), devs.end(), ','), 255);
    EXPECT_EQ(lumorecord::ControllerList(std::vector<uint8_t>(10, 0)), "");
}

TEST(StoreLibDecode, DeviceTextIsPrintable)
{
    const uint8_t serial[] = {' ', 'P', 'X', '"', '\\', 0x00, 0xff};
    EXPECT_EQ(lumorecord::PrintableText(serial, sizeof serial), " PX\\x22\\x5c\\x00\\xff");
}

} // namespace
