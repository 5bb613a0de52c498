// lumorecord-summary: what a transcript holds, in a few lines a person reads
// first: the switches found, the chunks each received, the controller
// requests and the controller's state they leave, and, against a second
// transcript of the same story, the first entry where the two runs part.
//
//   lumorecord-summary TRANSCRIPT
//   lumorecord-summary TRANSCRIPT --diff OTHER
//
// Exit status: 0, 1 when the two runs differ, 2 when a transcript is unusable
// (the message names its first bad line).

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "OEMCommands.h"
#include "StoreLibDecode.h"
#include "Transcript.h"

namespace
{

using lumorecord::Entry;

std::string Hex2(unsigned v)
{
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", v & 0xFF);
    return buf;
}

// Names from the program's command list; what it lacks is shown by number.
std::string RequestName(unsigned netfn, unsigned cmd, const std::vector<uint8_t>& data)
{
    if (netfn == kOEMNetFn && cmd == eCorvelCommand && !data.empty()) {
        const char* name = oemcommands::SubCommandName(data[0]);
        return name != nullptr ? name : "repository sub-command " + Hex2(data[0]);
    }
    const char* name =
        oemcommands::CommandName(static_cast<uint8_t>(netfn), static_cast<uint8_t>(cmd));
    return name != nullptr ? name : "-";
}

std::string Spaced(const std::vector<uint8_t>& b, size_t from = 0)
{
    std::string s;
    for (size_t i = from; i < b.size(); ++i)
        s += (i > from ? " " : "") + Hex2(b[i]);
    return s.empty() ? "-" : s;
}

struct Switch {
    std::string serial;
    std::string vendor;
    std::string product;
    std::string revision;
    std::string type;
};

struct Download {
    unsigned chunks = 0;
    uint64_t bytes = 0;
    std::vector<std::string> faults;
};

std::string Describe(const Entry& e)
{
    const std::string b = e.str("b");
    const std::string ev = e.str("ev");
    std::string s = e.shown("b") + " " + e.shown("ev");
    if (b == "storelib" && ev == "call") {
        s += " " + e.shown("op") + " ctrl=" + e.shown("ctrl");
        if (e.has("scsi"))
            s += " dev=" + std::to_string(e.num("dev")) + " " + e.shown("scsi");
        if (e.has("wb_offset"))
            s += " offset=" + std::to_string(e.num("wb_offset")) +
                 " len=" + std::to_string(e.num("wb_len"));
        if (e.has("status"))
            s += " status=" + std::to_string(e.num("status"));
        s += " rc=" + std::to_string(e.num("rc"));
    } else if (ev == "send" || ev == "recv") {
        std::vector<uint8_t> d;
        e.bytes("data", d);
        s += " msgid=" + std::to_string(e.num("msgid")) + " " +
             Hex2(static_cast<unsigned>(e.num("netfn"))) + " " +
             Hex2(static_cast<unsigned>(e.num("cmd"))) + " data=" + Spaced(d);
    } else if (ev == "open") {
        s += " " + e.shown("path") + (e.num("ok") ? " ok" : " failed");
    }
    return s;
}

int Summarise(const lumorecord::Transcript& t)
{
    size_t calls = 0;
    size_t device = 0;
    for (const Entry& e : t.entries)
        (e.str("b") == "storelib" ? calls : device)++;
    std::printf("transcript: version %d, %zu entries (%zu storage library, %zu IPMI device)\n",
                t.version, t.entries.size(), calls, device);

    std::map<std::pair<std::string, int64_t>, Switch> switches;
    std::map<std::pair<std::string, int64_t>, Download> downloads;
    std::string controllers;
    std::vector<std::string> requests;
    std::vector<std::string> library;
    // Controller state as the requests and their answers leave it.
    std::string session = "never opened";
    std::string flag = "not set";
    unsigned detached = 0;
    unsigned deleted = 0;
    unsigned coldResets = 0;

    for (size_t i = 0; i < t.entries.size(); ++i) {
        const Entry& e = t.entries[i];
        const std::string ev = e.str("ev");
        if (e.str("b") == "storelib") {
            if (ev == "load") {
                library.push_back("line " + std::to_string(e.line) + ": " + e.shown("status") +
                                  (e.has("library") ? " (" + e.shown("library") + ")" : "") +
                                  (e.has("reason") ? ": " + e.shown("reason") : ""));
                continue;
            }
            if (e.has("ctrls") && controllers.empty())
                controllers = e.shown("ctrls");
            if (e.str("op") != "PASSTHRU")
                continue;
            const auto key = std::make_pair(e.shown("ctrl"), e.num("dev"));
            std::vector<uint8_t> out;
            if (!e.bytes("out", out))
                e.bytes("in", out);
            lumorecord::PassThruView pt;
            if (!lumorecord::DecodePassThru(out, pt))
                continue;
            const uint8_t* d = out.data() + CPassThruRecord::kHeaderSize;
            const size_t len = out.size() >= CPassThruRecord::kHeaderSize + size_t(pt.dataLength)
                                   ? pt.dataLength
                                   : 0;
            const bool ok = e.num("rc") == 0 && pt.status == 0;
            Switch& sw = switches[key];
            if (pt.scsi == "INQUIRY_VPD80" && ok && len >= 4) {
                const size_t n = d[3] < len - 4 ? d[3] : len - 4;
                sw.serial = lumorecord::PrintableText(d + 4, n);
                sw.type = Hex2(d[0] & 0x1F);
            } else if (pt.scsi == "INQUIRY" && ok && len >= 32) {
                sw.vendor = lumorecord::PrintableText(d + 8, 8);
                sw.product = lumorecord::PrintableText(d + 16, 16);
            } else if (pt.scsi == "READ_BUFFER" && ok && len >= 16) {
                sw.revision = std::to_string(d[12]) + "." + std::to_string(d[13]) + "." +
                              std::to_string(d[14]) + "." + std::to_string(d[15]);
            } else if (pt.scsi == "WRITE_BUFFER") {
                Download& dl = downloads[key];
                if (ok) {
                    ++dl.chunks;
                    dl.bytes += pt.wbLength;
                } else {
                    dl.faults.push_back(
                        "chunk at offset " + std::to_string(pt.wbOffset) + " rejected (line " +
                        std::to_string(e.line) + "): rc=" + std::to_string(e.num("rc")) +
                        " status=" + std::to_string(pt.status) +
                        (pt.sense.empty() ? "" : " sense=" + lumorecord::Hex(pt.sense)));
                }
            }
            continue;
        }
        if (ev == "open") {
            requests.push_back(
                "line " + std::to_string(e.line) + "  open " + e.shown("path") +
                (e.num("ok") ? ": ok" : ": errno " + std::to_string(e.num("errno"))));
            continue;
        }
        if (ev != "send")
            continue;
        std::vector<uint8_t> req;
        e.bytes("data", req);
        const unsigned netfn = static_cast<unsigned>(e.num("netfn"));
        const unsigned cmd = static_cast<unsigned>(e.num("cmd"));
        std::string answer = "no answer";
        std::vector<uint8_t> rsp;
        if (e.num("rc") < 0) {
            answer = "send failed, errno " + std::to_string(e.num("errno"));
        } else {
            for (size_t j = i + 1; j < t.entries.size(); ++j) {
                const Entry& r = t.entries[j];
                if (r.str("b") != "ipmi")
                    continue;
                if (r.str("ev") == "send" || r.str("ev") == "close")
                    break;
                if (r.str("ev") == "recv" && r.num("msgid") == e.num("msgid") &&
                    r.bytes("data", rsp) && !rsp.empty()) {
                    answer = "cc " + Hex2(rsp[0]) + (rsp.size() > 1 ? " " + Spaced(rsp, 1) : "");
                    break;
                }
            }
        }
        char head[64];
        std::snprintf(head, sizeof head, "line %-4zu %s %s ", e.line, Hex2(netfn).c_str(),
                      Hex2(cmd).c_str());
        requests.push_back(head + RequestName(netfn, cmd, req) + " [" + Spaced(req) + "] -> " +
                           answer);
        const bool done = !rsp.empty() && rsp[0] == 0;
        if (!done)
            continue;
        if (netfn == kAppNetFn && cmd == kColdResetCmd)
            ++coldResets;
        if (netfn != kOEMNetFn || cmd != eCorvelCommand || req.empty())
            continue;
        if ((req[0] == eBeginCORVELSession || req[0] == eBeginCORVELSessionExtended) &&
            rsp.size() >= 3) {
            char h[16];
            std::snprintf(h, sizeof h, "0x%02x%02x", rsp[2], rsp[1]);
            session = std::string("open, handle ") + h;
        } else if (req[0] == eEndCORVELSession) {
            session = "closed";
        } else if (req[0] == eDetachPartitions) {
            ++detached;
        } else if (req[0] == eDeleteDynamicPartition) {
            ++deleted;
        } else if (req[0] == eSetStateFlag && req.size() >= 5) {
            flag = "0x" + Hex2(req[4]);
        }
    }

    for (const std::string& l : library)
        std::printf("storage library: %s\n", l.c_str());
    std::printf("controllers: %s\n", controllers.empty() ? "none" : controllers.c_str());
    std::printf("switches:\n");
    for (const auto& s : switches) {
        const Switch& sw = s.second;
        std::printf("  ctrl %s dev %lld: type %s serial \"%s\" vendor \"%s\" product \"%s\" "
                    "revision %s\n",
                    s.first.first.c_str(), static_cast<long long>(s.first.second),
                    sw.type.empty() ? "?" : sw.type.c_str(), sw.serial.c_str(), sw.vendor.c_str(),
                    sw.product.c_str(), sw.revision.empty() ? "?" : sw.revision.c_str());
    }
    std::printf("downloads:\n");
    if (downloads.empty())
        std::printf("  none\n");
    for (const auto& d : downloads) {
        std::printf("  ctrl %s dev %lld: chunks accepted %u, %llu bytes\n", d.first.first.c_str(),
                    static_cast<long long>(d.first.second), d.second.chunks,
                    static_cast<unsigned long long>(d.second.bytes));
        for (const std::string& f : d.second.faults)
            std::printf("    %s\n", f.c_str());
    }
    std::printf("controller requests:\n");
    if (requests.empty())
        std::printf("  none\n");
    for (const std::string& r : requests)
        std::printf("  %s\n", r.c_str());
    std::printf("controller state after the run: session %s; state flag %s; detach requests %u; "
                "dynamic partitions deleted %u; cold resets %u\n",
                session.c_str(), flag.c_str(), detached, deleted, coldResets);
    return 0;
}

// The first field (in the first entry's order) whose value the other entry
// does not share.
std::string FirstField(const Entry& a, const Entry& b)
{
    for (const auto& f : a.fields) {
        if (f.first == "t_us" || f.first == "crc")
            continue;
        const lumorecord::Value* v = b.find(f.first);
        if (v == nullptr || v->isNumber != f.second.isNumber || v->number != f.second.number ||
            v->text != f.second.text)
            return lumorecord::PrintableText(f.first);
    }
    for (const auto& f : b.fields) {
        if (!a.has(f.first))
            return lumorecord::PrintableText(f.first);
    }
    return "-";
}

int Diff(const lumorecord::Transcript& a, const lumorecord::Transcript& b)
{
    const size_t n = a.entries.size() < b.entries.size() ? a.entries.size() : b.entries.size();
    for (size_t i = 0; i < n; ++i) {
        if (a.entries[i].normalised() != b.entries[i].normalised()) {
            std::printf("runs part at entry %zu: line %zu of the first, line %zu of the second, "
                        "field \"%s\"\n  first:  %s\n  second: %s\n",
                        i + 1, a.entries[i].line, b.entries[i].line,
                        FirstField(a.entries[i], b.entries[i]).c_str(),
                        Describe(a.entries[i]).c_str(), Describe(b.entries[i]).c_str());
            return 1;
        }
    }
    if (a.entries.size() != b.entries.size()) {
        const bool firstLonger = a.entries.size() > b.entries.size();
        const Entry& extra = firstLonger ? a.entries[n] : b.entries[n];
        std::printf("runs part at entry %zu: only the %s goes on, at line %zu: %s\n", n + 1,
                    firstLonger ? "first" : "second", extra.line, Describe(extra).c_str());
        return 1;
    }
    std::printf("runs agree: %zu entries (timing aside)\n", n);
    return 0;
}

bool Load(const char* path, lumorecord::Transcript& t)
{
    std::string error;
    if (!lumorecord::LoadTranscript(path, t, error)) {
        std::fprintf(stderr, "lumorecord-summary: %s: %s\n", path, error.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--diff") != 0) {
        lumorecord::Transcript t;
        return Load(argv[1], t) ? Summarise(t) : 2;
    }
    if (argc == 4 && std::strcmp(argv[2], "--diff") == 0) {
        lumorecord::Transcript a;
        lumorecord::Transcript b;
        if (!Load(argv[1], a) || !Load(argv[3], b))
            return 2;
        return Diff(a, b);
    }
    std::fprintf(stderr, "usage: lumorecord-summary TRANSCRIPT [--diff OTHER]\n");
    return 2;
}
