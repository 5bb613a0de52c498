#include "StoreLibDecode.h"

#include <cstdio>

namespace lumorecord
{
namespace
{

constexpr size_t kCtrlListSize = 260;
constexpr size_t kPdListSize = 6152;
constexpr size_t kPtHeader = 64;

uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint32_t Be24(const uint8_t* p)
{
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}
std::string Hex32(uint32_t v)
{
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}
std::string Hex2(unsigned v)
{
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", v & 0xFF);
    return buf;
}

} // namespace

CommandView DecodeCommand(const uint8_t* r, size_t n)
{
    CommandView c;
    if (r == nullptr || n < kCmdRecordKept)
        return c;
    c.type = r[0];
    c.cmd = r[1];
    c.ctrl = Le32(r + 4);
    c.dev = Le16(r + 8);
    c.size = Le32(r + 28);
    if (n >= kCmdRecordSize) {
        for (size_t i = 32; i < 40; ++i)
            c.hasData = c.hasData || r[i] != 0;
    }
    if (c.type == 0 && c.cmd == 0)
        c.op = StoreLibOp::InitLib;
    else if (c.type == 0 && c.cmd == 9)
        c.op = StoreLibOp::ExitLib;
    else if (c.type == 1 && c.cmd == 4)
        c.op = StoreLibOp::PdList;
    else if (c.type == 6 && c.cmd == 0)
        c.op = StoreLibOp::PassThru;
    return c;
}

uint8_t* DataPointer(const uint8_t* record)
{
    uint64_t addr = 0;
    for (int i = 7; i >= 0; --i)
        addr = (addr << 8) | record[32 + i];
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(addr));
}

const char* OpName(StoreLibOp op)
{
    switch (op) {
    case StoreLibOp::InitLib:
        return "INIT_LIB";
    case StoreLibOp::ExitLib:
        return "EXIT_LIB";
    case StoreLibOp::PdList:
        return "GET_PD_LIST";
    case StoreLibOp::PassThru:
        return "PASSTHRU";
    case StoreLibOp::Unknown:
        break;
    }
    return "UNKNOWN";
}

long BufferSize(const CommandView& c, const uint8_t* buffer)
{
    switch (c.op) {
    case StoreLibOp::InitLib:
        return c.hasData && c.size == kCtrlListSize ? static_cast<long>(kCtrlListSize) : -1;
    case StoreLibOp::ExitLib:
        return c.size == 0 ? 0 : -1;
    case StoreLibOp::PdList:
        return c.hasData && c.size == kPdListSize ? static_cast<long>(kPdListSize) : -1;
    case StoreLibOp::PassThru: {
        if (!c.hasData || buffer == nullptr || c.size < kPtHeader)
            return -1;
        const uint64_t len = Le32(buffer + 60);
        if (c.size != kPtHeader + len && c.size != kPtHeader + len + 1)
            return -1;
        return static_cast<long>(c.size);
    }
    case StoreLibOp::Unknown:
        break;
    }
    return -1;
}

bool DecodePassThru(const std::vector<uint8_t>& b, PassThruView& v)
{
    if (b.size() < kPtHeader)
        return false;
    v = PassThruView();
    v.dev = Le16(b.data());
    v.dir = b[4];
    v.status = b[10];
    v.cdbLength = b[11];
    const size_t n = v.cdbLength <= 16 ? v.cdbLength : 16;
    v.cdb.assign(b.begin() + 12, b.begin() + 12 + static_cast<long>(n));
    bool sense = false;
    for (size_t i = 28; i < 60; ++i)
        sense = sense || b[i] != 0;
    if (sense)
        v.sense.assign(b.begin() + 28, b.begin() + 60);
    v.dataLength = Le32(b.data() + 60);
    const uint8_t op = n > 0 ? v.cdb[0] : 0;
    if (op == 0x12 && n >= 3)
        v.scsi = (v.cdb[1] & 1) && v.cdb[2] == 0x80 ? "INQUIRY_VPD80" : "INQUIRY";
    else if (op == 0x3C)
        v.scsi = "READ_BUFFER";
    else if (op == 0x3B && n >= 9) {
        v.scsi = "WRITE_BUFFER";
        v.wbOffset = Be24(v.cdb.data() + 3);
        v.wbLength = Be24(v.cdb.data() + 6);
    } else
        v.scsi = "CDB_" + Hex2(op);
    return true;
}

std::string ControllerList(const std::vector<uint8_t>& b)
{
    if (b.size() < kCtrlListSize)
        return "";
    size_t count = Le16(b.data());
    if (count > 64)
        count = 64;
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += (i ? "," : "") + Hex32(Le32(b.data() + 4 + 4 * i));
    return out;
}

std::string DeviceList(const std::vector<uint8_t>& b)
{
    if (b.size() < kPdListSize)
        return "";
    size_t count = Le32(b.data() + 4);
    if (count > 256)
        count = 256;
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = b.data() + 8 + 24 * i;
        out += (i ? "," : "") + std::to_string(Le16(e)) + ":" + Hex2(e[6]);
    }
    return out;
}

void AddDecoded(Line& line, const CommandView& c, const std::vector<uint8_t>& before,
                const std::vector<uint8_t>& after, uint32_t rc)
{
    switch (c.op) {
    case StoreLibOp::InitLib:
        if (rc == 0)
            line.add("ctrls", ControllerList(after));
        break;
    case StoreLibOp::PdList:
        if (rc == 0)
            line.add("devs", DeviceList(after));
        break;
    case StoreLibOp::PassThru: {
        PassThruView in;
        PassThruView out;
        if (!DecodePassThru(before, in) || !DecodePassThru(after, out))
            break;
        line.add("dev", in.dev).add("scsi", in.scsi).add("cdb", Hex(in.cdb)).add("dir", in.dir);
        line.add("len", in.dataLength);
        if (in.scsi == "WRITE_BUFFER")
            line.add("wb_offset", in.wbOffset).add("wb_len", in.wbLength);
        line.add("status", out.status);
        if (!out.sense.empty())
            line.add("sense", Hex(out.sense));
        break;
    }
    case StoreLibOp::ExitLib:
    case StoreLibOp::Unknown:
        break;
    }
}

std::string Describe(const CommandView& c, const std::vector<uint8_t>& buffer)
{
    std::string s = std::string(OpName(c.op)) + " type=" + std::to_string(c.type) +
                    " cmd=" + std::to_string(c.cmd) + " ctrl=" + Hex32(c.ctrl) +
                    " size=" + std::to_string(c.size);
    PassThruView v;
    if (c.op == StoreLibOp::PassThru && DecodePassThru(buffer, v)) {
        s += " dev=" + std::to_string(v.dev) + " " + v.scsi + " cdb=" + Hex(v.cdb) +
             " len=" + std::to_string(v.dataLength);
        if (v.scsi == "WRITE_BUFFER")
            s += " offset=" + std::to_string(v.wbOffset);
    }
    return s;
}

std::string PrintableText(const std::string& text)
{
    return PrintableText(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string PrintableText(const uint8_t* p, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '\\' && p[i] != '"') {
            out += static_cast<char>(p[i]);
        } else {
            out += "\\x" + Hex2(p[i]);
        }
    }
    return out;
}

} // namespace lumorecord
