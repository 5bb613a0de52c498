#include "StoreLibDecode.h"

#include <cstdio>

#include "ScsiCommands.h"

namespace lumorecord
{
namespace
{

using Cmd = _SL_LIB_CMD_PARAM_T;
using CtrlList = _SL_CTRL_LIST_T;
using PassThru = CPassThruRecord;
using storelib::GetLE16;
using storelib::GetLE32;

constexpr size_t kPtHeader = PassThru::kHeaderSize;

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
    c.type = r[Cmd::kOffCmdType];
    c.cmd = r[Cmd::kOffCmd];
    c.ctrl = GetLE32(r + Cmd::kOffCtrlId);
    c.dev = GetLE16(r + Cmd::kOffCmdParam);
    c.size = GetLE32(r + Cmd::kOffDataSize);
    if (n >= kCmdRecordSize) {
        for (size_t i = Cmd::kOffDataPtr; i < Cmd::kSize; ++i)
            c.hasData = c.hasData || r[i] != 0;
    }
    if (c.type == storelib::kCmdTypeLib && c.cmd == storelib::kCmdInitLib)
        c.op = StoreLibOp::InitLib;
    else if (c.type == storelib::kCmdTypeLib && c.cmd == storelib::kCmdExitLib)
        c.op = StoreLibOp::ExitLib;
    else if (c.type == storelib::kCmdTypeCtrl && c.cmd == storelib::kCmdGetPdList)
        c.op = StoreLibOp::PdList;
    else if (c.type == storelib::kCmdTypePassThru && c.cmd == storelib::kCmdScsiPassThru)
        c.op = StoreLibOp::PassThru;
    return c;
}

uint8_t* DataPointer(const uint8_t* record)
{
    return reinterpret_cast<uint8_t*>(
        static_cast<uintptr_t>(storelib::GetLE64(record + Cmd::kOffDataPtr)));
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
        return c.hasData && c.size == CtrlList::kSize ? static_cast<long>(CtrlList::kSize) : -1;
    case StoreLibOp::ExitLib:
        return c.size == 0 ? 0 : -1;
    case StoreLibOp::PdList:
        return c.hasData && c.size == CPDList::kSize ? static_cast<long>(CPDList::kSize) : -1;
    case StoreLibOp::PassThru: {
        if (!c.hasData || buffer == nullptr || c.size < kPtHeader)
            return -1;
        const uint64_t len = GetLE32(buffer + PassThru::kOffDataLength);
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
    v.dev = GetLE16(b.data() + PassThru::kOffDeviceId);
    v.dir = b[PassThru::kOffDirection];
    v.status = b[PassThru::kOffScsiStatus];
    v.cdbLength = b[PassThru::kOffCdbLength];
    const size_t n = v.cdbLength <= PassThru::kMaxCdbLength ? v.cdbLength : PassThru::kMaxCdbLength;
    const auto cdb = b.begin() + PassThru::kOffCdb;
    v.cdb.assign(cdb, cdb + static_cast<long>(n));
    const auto sense = b.begin() + PassThru::kOffSense;
    bool anySense = false;
    for (auto i = sense; i < sense + PassThru::kSenseSize; ++i)
        anySense = anySense || *i != 0;
    if (anySense)
        v.sense.assign(sense, sense + PassThru::kSenseSize);
    v.dataLength = GetLE32(b.data() + PassThru::kOffDataLength);
    const uint8_t op = n > 0 ? v.cdb[0] : 0;
    if (op == scsi::kOpInquiry && n >= 3)
        v.scsi = (v.cdb[1] & scsi::kInquiryEvpd) && v.cdb[2] == scsi::kVpdUnitSerialNumber
                     ? "INQUIRY_VPD80"
                     : "INQUIRY";
    else if (op == scsi::kOpReadBuffer)
        v.scsi = "READ_BUFFER";
    else if (op == scsi::kOpWriteBuffer && n >= 9) {
        v.scsi = "WRITE_BUFFER";
        v.wbOffset = scsi::GetBE24(v.cdb.data() + 3);
        v.wbLength = scsi::GetBE24(v.cdb.data() + 6);
    } else
        v.scsi = "CDB_" + Hex2(op);
    return true;
}

std::string ControllerList(const std::vector<uint8_t>& b)
{
    if (b.size() < CtrlList::kSize)
        return "";
    size_t count = GetLE16(b.data() + CtrlList::kOffCount);
    if (count > CtrlList::kMaxControllers)
        count = CtrlList::kMaxControllers;
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += (i ? "," : "") + Hex32(GetLE32(b.data() + CtrlList::kOffIds + 4 * i));
    return out;
}

std::string DeviceList(const std::vector<uint8_t>& b)
{
    if (b.size() < CPDList::kSize)
        return "";
    size_t count = GetLE32(b.data() + CPDList::kOffCount);
    if (count > CPDList::kMaxEntries)
        count = CPDList::kMaxEntries;
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = b.data() + CPDList::kOffEntries + CPDList::kEntrySize * i;
        out += (i ? "," : "") + std::to_string(GetLE16(e + CPDList::kEntryOffDeviceId)) + ":" +
               Hex2(e[CPDList::kEntryOffPeripheralType]);
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
