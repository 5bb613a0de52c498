#include "Library.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "SwitchModel.h"

namespace storelibsim
{
namespace
{

// Record layouts read on their own, not the program's: a layout it gets wrong shows here.
constexpr size_t kCtrlListSize = 260;
constexpr size_t kPdListSize = 6152;
constexpr size_t kPdEntrySize = 24;
constexpr size_t kPdMaxEntries = 256;
constexpr size_t kPtHeader = 64;
constexpr uint32_t kMaxChunk = 0x8000;

uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p)
{
    return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32;
}
void PutLe16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
bool AllZero(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

std::string Hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%X", v);
    return buf;
}
std::string Ctrl(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08X", v);
    return buf;
}

} // namespace

Fd& Fd::operator=(Fd&& other) noexcept
{
    if (this != &other) {
        reset();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

void Fd::reset()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
    m_fd = -1;
}

Library::Download::~Download()
{
    if (image.get() >= 0 && ftruncate(image.get(), nextOffset) != 0) {
        image.reset();
    }
}

Library::Library(PlacesSource places, TopologySource topology)
    : m_placesSource(std::move(places)), m_topologySource(std::move(topology))
{
}

Library::~Library() = default;

void Library::ensurePlaces()
{
    if (!m_placesKnown) {
        m_places = m_placesSource();
        m_placesKnown = true;
    }
}

const std::string& Library::outDir()
{
    ensurePlaces();
    return m_places.outDir;
}

void Library::trace(const std::string& line)
{
    const std::string path = outDir() + "/storelib_trace.log";
    if (m_trace.get() < 0 || path != m_tracePath) {
        m_trace = Fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        m_tracePath = path;
    }
    // One write per line: the trace is complete even if the caller dies.
    const std::string text = line + "\n";
    if (m_trace.get() >= 0 && write(m_trace.get(), text.data(), text.size()) < 0) {
        m_trace.reset();
    }
}

uint32_t Library::fail(uint32_t rc, const std::string& what)
{
    m_refusals.push_back(what);
    trace("ERROR " + what + " -> rc=" + Hex(rc));
    return rc;
}

const Controller* Library::findController(uint32_t id) const
{
    for (const Controller& c : m_topo.controllers) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

const Device* Library::findDevice(const Controller& c, uint16_t id)
{
    for (const Device& d : c.devices) {
        if (d.id == id) {
            return &d;
        }
    }
    return nullptr;
}

// A one-shot unit attention is what the real library meets on the kernel
// path and resends through: the caller never sees it, only a trace note.
const Fault* Library::findFault(const Controller& c, uint16_t dev, uint8_t opcode, int evpd,
                                uint32_t chunk, std::string& note)
{
    for (const Fault& f : c.faults) {
        if (f.deviceId != dev || f.opcode != opcode) {
            continue;
        }
        if (f.evpd >= 0 && evpd >= 0 && f.evpd != evpd) {
            continue;
        }
        if (f.chunk != 0 && f.chunk != chunk) {
            continue;
        }
        if (f.once) {
            if (m_fired.count(&f) != 0) {
                continue;
            }
            m_fired.insert(&f);
            if (f.result == 0 && IsUnitAttention(f.sense)) {
                note = " attention=resent";
                continue;
            }
        }
        return &f;
    }
    return nullptr;
}

std::string Library::applyFault(const Fault& f, uint8_t* pt, uint32_t& rc)
{
    if (f.result != 0) {
        rc = f.result;
        return " fault=result";
    }
    rc = 0;
    pt[10] = f.status;
    // The kernel's sg driver hands on 8 + the additional sense length bytes
    // of fixed or descriptor sense, and so does a library on top of it.
    size_t n = f.sense.size();
    if (n >= 8 && (f.sense[0] & 0x7E) == 0x70) {
        n = std::min<size_t>(n, 8 + size_t(f.sense[7]));
    } else if (n >= 8 && (f.sense[0] & 0x7E) == 0x72) {
        n = std::min<size_t>(n, 8 + size_t(f.sense[7]));
    }
    for (size_t i = 0; i < n && i < 32; ++i) {
        pt[28 + i] = f.sense[i];
    }
    return " fault=status";
}

uint32_t Library::handle(uint8_t* rec)
{
    const uint8_t type = rec[0];
    const uint8_t cmd = rec[1];
    const uint32_t size = Le32(rec + 28);
    uint8_t* data = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(Le64(rec + 32)));
    const std::string head = "type=" + std::to_string(type) + " cmd=" + std::to_string(cmd);

    if (rec[3] != 0 || !AllZero(rec + 20, 8)) {
        return fail(kErrMalformed, head + " reserved bytes not zero");
    }
    if (size != 0 && data == nullptr) {
        return fail(kErrMalformed, head + " data size " + std::to_string(size) + " without data");
    }
    if (type == 0 && cmd == 0) {
        return initLib(rec, data, size);
    }
    if (type == 0 && cmd == 9) {
        return exitLib(rec, size);
    }
    if (!m_initialised) {
        return fail(kErrNotInitialised, head + " before SL_INIT_LIB");
    }
    if (type == 1 && cmd == 4) {
        return pdList(rec, data, size);
    }
    if (type == 6 && cmd == 0) {
        return passThru(rec, data, size);
    }
    return fail(kErrMalformed, head + " unknown command");
}

uint32_t Library::initLib(const uint8_t* rec, uint8_t* data, uint32_t size)
{
    const uint32_t ctrl = Le32(rec + 4);
    const std::string what = "INIT_LIB ctrl=" + Ctrl(ctrl) + " flags=" + std::to_string(rec[2]) +
                             " size=" + std::to_string(size);
    if (size != kCtrlListSize) {
        return fail(kErrMalformed, what + " wrong list size");
    }
    if (rec[2] != 1 || !AllZero(rec + 8, 12)) {
        return fail(kErrMalformed, what + " unexpected flag or parameter bytes");
    }
    // A fresh initialisation asks for its places and the topology again, so
    // each load of the library starts from the file as it is now.
    m_placesKnown = false;
    ensurePlaces();
    std::string error;
    Topology topo;
    if (!m_topologySource(m_places.topology, topo, error)) {
        return fail(kErrTopology, what + " topology: " + error);
    }
    m_topo = topo;
    m_downloads.clear();
    m_fired.clear();
    if (m_topo.initResult != 0) {
        trace(what + " -> rc=" + Hex(m_topo.initResult));
        return m_topo.initResult;
    }
    std::memset(data, 0, kCtrlListSize);
    const size_t n = m_topo.controllers.size();
    const uint16_t count =
        m_topo.initCount >= 0 ? static_cast<uint16_t>(m_topo.initCount) : static_cast<uint16_t>(n);
    PutLe16(data, count);
    PutLe16(data + 2, 0);
    for (size_t i = 0; i < n && i < 64; ++i) {
        PutLe32(data + 4 + 4 * i, m_topo.controllers[i].id);
    }
    m_initialised = true;
    trace(what + " -> rc=0x0 count=" + std::to_string(count));
    return 0;
}

uint32_t Library::exitLib(const uint8_t* rec, uint32_t size)
{
    if (size != 0 || rec[2] != 0 || !AllZero(rec + 4, 16)) {
        return fail(kErrMalformed, "EXIT_LIB with data or parameters");
    }
    m_initialised = false;
    m_downloads.clear();
    trace("EXIT_LIB -> rc=0x0");
    return 0;
}

uint32_t Library::pdList(const uint8_t* rec, uint8_t* data, uint32_t size)
{
    const uint32_t ctrl = Le32(rec + 4);
    const std::string what = "GET_PD_LIST ctrl=" + Ctrl(ctrl) + " size=" + std::to_string(size);
    if (size != kPdListSize) {
        return fail(kErrMalformed, what + " wrong list size");
    }
    if (rec[2] != 0 || !AllZero(rec + 8, 12)) {
        return fail(kErrMalformed, what + " unexpected parameter bytes");
    }
    const Controller* c = findController(ctrl);
    if (c == nullptr) {
        return fail(kErrNoController, what + " unknown controller");
    }
    if (c->pdListResult != 0) {
        trace(what + " -> rc=" + Hex(c->pdListResult));
        return c->pdListResult;
    }
    std::memset(data, 0, kPdListSize);
    const size_t n = c->devices.size() < kPdMaxEntries ? c->devices.size() : kPdMaxEntries;
    const uint32_t count =
        c->pdListCount >= 0 ? static_cast<uint32_t>(c->pdListCount) : static_cast<uint32_t>(n);
    PutLe32(data, static_cast<uint32_t>(kPdListSize));
    PutLe32(data + 4, count);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* e = data + 8 + kPdEntrySize * i;
        PutLe16(e, c->devices[i].id);
        // Neighbouring fields carry values, so a reader at the wrong offset
        // sees something other than zero.
        PutLe16(e + 2, static_cast<uint16_t>(0xE000 + i));
        e[4] = 0xA5;
        e[5] = 0x5A;
        e[6] = c->devices[i].type;
        e[7] = 0x3C;
    }
    trace(what + " -> rc=0x0 count=" + std::to_string(count));
    return 0;
}

uint32_t Library::passThru(const uint8_t* rec, uint8_t* pt, uint32_t size)
{
    const uint32_t ctrl = Le32(rec + 4);
    const uint16_t paramDev = Le16(rec + 8);
    std::string where = "ctrl=" + Ctrl(ctrl) + " dev=" + std::to_string(paramDev);
    if (size < kPtHeader) {
        return fail(kErrMalformed, "PASSTHRU " + where + " record of " + std::to_string(size) +
                                       " bytes, shorter than its header");
    }
    if (rec[2] != 0 || !AllZero(rec + 10, 10)) {
        return fail(kErrMalformed, "PASSTHRU " + where + " unexpected parameter bytes");
    }
    const uint32_t len = Le32(pt + 60);
    const uint8_t dir = pt[4];
    const uint8_t cdbLen = pt[11];
    const uint8_t* cdb = pt + 12;
    where += " len=" + std::to_string(len) + " size=" + std::to_string(size);
    if (size - kPtHeader != len && size - kPtHeader != uint64_t(len) + 1) {
        return fail(kErrMalformed, "PASSTHRU " + where + " record size does not match data length");
    }
    if (Le16(pt) != paramDev || Le16(pt + 2) != 1 || Le16(pt + 8) != 30 || pt[10] != 0 ||
        !AllZero(pt + 28, 32) || pt[5] != 0 || pt[6] != 0 || pt[7] != 0) {
        return fail(kErrMalformed, "PASSTHRU " + where + " bad header " + HexBytes(pt, 12));
    }
    if (cdbLen == 0 || cdbLen > 16 || !AllZero(pt + 12 + cdbLen, 16 - cdbLen)) {
        return fail(kErrMalformed,
                    "PASSTHRU " + where + " bad CDB length " + std::to_string(cdbLen));
    }
    where += " cdb=" + HexBytes(cdb, cdbLen);
    const Controller* c = findController(ctrl);
    if (c == nullptr) {
        return fail(kErrNoController, "PASSTHRU " + where + " unknown controller");
    }
    const Device* d = findDevice(*c, paramDev);
    if (d == nullptr) {
        return fail(kErrNoDevice, "PASSTHRU " + where + " unknown device");
    }

    const uint8_t op = cdb[0];
    if (op == 0x3B && cdbLen == 10) {
        return writeBuffer(where, *c, *d, pt, len, size);
    }

    std::string name;
    int evpd = -1;
    std::vector<uint8_t> answer;
    if (op == 0x12 && cdbLen == 6 && cdb[1] == 0x01 && cdb[2] == 0x80 && cdb[3] == 0 &&
        cdb[5] == 0 && cdb[4] == len && dir == 2) {
        name = "INQUIRY_VPD80";
        evpd = 1;
        answer = SerialNumberPage(*d);
    } else if (op == 0x12 && cdbLen == 6 && cdb[1] == 0 && cdb[2] == 0 && cdb[3] == 0 &&
               cdb[5] == 0 && cdb[4] == len && dir == 2) {
        name = "INQUIRY";
        evpd = 0;
        answer = StandardInquiry(*d);
    } else if (op == 0x3C && cdbLen == 10 && HexBytes(cdb, 10) == "3c 01 e6 e0 07 00 3c 00 00 00" &&
               dir == 2 && len >= 16) {
        name = "READ_BUFFER";
        answer = RevisionRecord(*d);
    } else {
        return fail(kErrUnknownCdb, "PASSTHRU " + where + " dir=" + std::to_string(dir) +
                                        " unknown or inconsistent CDB");
    }

    uint32_t rc = 0;
    std::string note;
    if (const Fault* f = findFault(*c, d->id, op, evpd, 0, note)) {
        note = applyFault(*f, pt, rc);
    } else {
        const size_t n = answer.size() < len ? answer.size() : len;
        std::memcpy(pt + kPtHeader, answer.data(), n);
        // What was transferred, as the kernel's residual tells a library.
        PutLe32(pt + 60, static_cast<uint32_t>(n));
    }
    trace(name + " " + where + " -> rc=" + Hex(rc) + " status=" + std::to_string(pt[10]) + note);
    return rc;
}

// The chunk under way is held: OUTDIR/held_<CTRL>_<dev>_<chunk> says so,
// and the caller waits in the library until that file is removed (at most
// two minutes), the point at which a test may kill it.
void Library::holdChunk(const Controller& c, const Device& d, uint32_t chunk)
{
    char name[80];
    std::snprintf(name, sizeof(name), "/held_%08X_%u_%u", c.id, d.id, chunk);
    const std::string path = outDir() + name;
    trace("HOLD " + path);
    Fd marker(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    marker.reset();
    for (int tick = 0; tick < 1200 && access(path.c_str(), F_OK) == 0; ++tick) {
        const struct timespec pause = {0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

uint32_t Library::writeBuffer(const std::string& where0, const Controller& c, const Device& d,
                              uint8_t* pt, uint32_t len, uint32_t size)
{
    const uint8_t* cdb = pt + 12;
    const uint32_t offset = Be24(cdb + 3);
    const uint32_t paramLen = Be24(cdb + 6);
    if (offset == 0) {
        m_downloads.erase({c.id, d.id});
    }
    Download& dl = m_downloads[{c.id, d.id}];
    const std::string where = where0 + " chunk=" + std::to_string(dl.chunks + 1) +
                              " offset=" + std::to_string(offset) +
                              " paramlen=" + std::to_string(paramLen);
    if (pt[4] != 1 || cdb[1] != 0x02 || cdb[2] != 0 || cdb[9] != 0) {
        return fail(kErrUnknownCdb, "WRITE_BUFFER " + where + " dir=" + std::to_string(pt[4]) +
                                        " unexpected mode, buffer ID, control or direction");
    }
    if (size != uint64_t(len) + kPtHeader) {
        return fail(kErrMalformed, "WRITE_BUFFER " + where + " record is not 64 + data bytes");
    }
    if (paramLen != len || len == 0 || len > kMaxChunk) {
        return fail(kErrChunk, "WRITE_BUFFER " + where + " chunk length must match data, 1..32768");
    }
    if (offset != dl.nextOffset) {
        return fail(kErrChunk, "WRITE_BUFFER " + where + " out of order, expected offset " +
                                   std::to_string(dl.nextOffset));
    }
    ++dl.chunks;

    uint32_t rc = 0;
    std::string note;
    int signalDuring = 0;
    const Fault* f = findFault(c, d.id, 0x3B, -1, dl.chunks, note);
    if (f != nullptr && f->signal != 0) {
        // As if someone sent it while the switch took the chunk, which it
        // still takes whole.
        signalDuring = f->signal;
        f = nullptr;
    }
    if (f != nullptr && f->hold) {
        holdChunk(c, d, dl.chunks);
        f = nullptr;
    }
    if (f != nullptr) {
        note = applyFault(*f, pt, rc);
        --dl.chunks; // a rejected chunk is not part of the image
        trace("WRITE_BUFFER " + where + " -> rc=" + Hex(rc) + " status=" + std::to_string(pt[10]) +
              note);
        return rc;
    }

    char name[64];
    std::snprintf(name, sizeof(name), "/received_%08X_%u.bin", c.id, d.id);
    const std::string path = m_places.outDir + name;
    const std::string signalNote =
        signalDuring != 0 ? " signal=" + std::to_string(signalDuring) : std::string();
    if (signalDuring != 0) {
        raise(signalDuring);
    }
    if (!d.keepImage) {
        dl.nextOffset = offset + len;
        trace("WRITE_BUFFER " + where + " -> rc=0x0 status=0" + note + signalNote);
        return 0;
    }
    if (offset == 0 || dl.image.get() < 0) {
        const int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
        dl.image = Fd(open(path.c_str(), flags, 0644));
    }
    if (dl.image.get() < 0 ||
        pwrite(dl.image.get(), pt + kPtHeader, len, offset) != static_cast<ssize_t>(len)) {
        dl.image.reset();
        return fail(kErrMalformed, "WRITE_BUFFER " + where + " cannot keep image in " + path);
    }
    dl.nextOffset = offset + len;
    trace("WRITE_BUFFER " + where + " -> rc=0x0 status=0" + note + signalNote);
    return 0;
}

} // namespace storelibsim
