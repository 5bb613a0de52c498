#include "Controller.h"

#include "OEMCommands.h"
#include "Script.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace simipmi
{
namespace
{

constexpr uint8_t kNetFnApp = 0x06;
constexpr uint8_t kNetFnOem = 0x30;
constexpr uint8_t kCmdGetDeviceId = 0x01;
constexpr uint8_t kCmdColdReset = 0x02;
constexpr uint8_t kCmdRepository = 0xA2;
constexpr uint8_t kCmdRepositoryType = 0xAD;
constexpr uint8_t kCmdAccessState = 0xAE;
constexpr uint8_t kCmdGeneration = 0xBD;

constexpr uint8_t kSubBegin = 0x00;
constexpr uint8_t kSubEnd = 0x01;
constexpr uint8_t kSubIndexInfo = 0x03;
constexpr uint8_t kSubPartitionInfo = 0x04;
constexpr uint8_t kSubDetach = 0x06;
constexpr uint8_t kSubDelete = 0x08;
constexpr uint8_t kSubStatus = 0x0A;
constexpr uint8_t kSubGetFlag = 0x10;
constexpr uint8_t kSubSetFlag = 0x11;
constexpr uint8_t kSubBeginExtended = 0x12;

constexpr uint8_t kStatusPending = 0x02;
constexpr uint8_t kDynamicSelector = 0x80;
constexpr unsigned kSlots = 8;

const char* const kDefaultDevices[] = {"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"};

// The sub-commands the controller knows and the request data bytes (from the
// sub-command on) each needs: its own model, which is what it checks the
// program against. Names are printed from the program's command list, so
// the log reads like the access layer's dumps.
struct SubCommand {
    uint8_t code;
    size_t minData;
};

const SubCommand kSubCommands[] = {
    {kSubBegin, 6},
    {kSubEnd, 5},
    {0x02, 3},
    {kSubIndexInfo, 5},
    {kSubPartitionInfo, 7},
    {0x05, 3},
    {kSubDetach, 11},
    {0x07, 3},
    {kSubDelete, 9},
    {0x09, 3},
    {kSubStatus, 6},
    {0x0B, 3},
    {0x0C, 3},
    {kSubGetFlag, 3},
    {kSubSetFlag, 5},
    {kSubBeginExtended, 6},
    {0x20, 3},
    {0x22, 3},
    {0x23, 3},
    {0x30, 3},
};

const SubCommand* findSub(uint8_t code)
{
    for (const SubCommand& s : kSubCommands) {
        if (s.code == code)
            return &s;
    }
    return nullptr;
}

std::string hexBytes(const std::vector<uint8_t>& bytes)
{
    if (bytes.empty())
        return "-";
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", bytes[i]);
        out += buf;
    }
    return out;
}

std::string hex2(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", v & 0xFF);
    return buf;
}

std::string hex4(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04x", v & 0xFFFF);
    return buf;
}

bool is17G(uint8_t generation)
{
    return generation >= 0x60 && generation <= 0x62;
}

enum class EffectKind { None, OpenSession, EndSession, Detach, Delete, SetFlag, Poll, ColdReset };

struct Effect {
    EffectKind kind = EffectKind::None;
    bool extended = false;
    uint16_t timeout = 0;
    uint16_t staticBits = 0;
    uint16_t dynamicBits = 0;
    uint8_t value = 0; // flag value, or the polled sub-command
    uint16_t handle = 0;
    std::vector<uint8_t> request;
};

struct Decision {
    uint8_t cc = 0;
    std::vector<uint8_t> data;
    Effect effect;
    const char* refused = nullptr; // reason, for the log
};

struct Partition {
    bool present = false;
    std::string name;
    bool attached = false;
    bool deleted = false;
};

struct Pending {
    unsigned pollsLeft = 0;
    uint8_t finalStatus = 0;
    Effect effect;
};

} // namespace

struct Controller::Impl {
    Script script;
    FILE* log = nullptr;
    std::string statePath;
    mutable std::mutex mutex;

    // Controller state.
    bool sessionOpen = false;
    uint16_t sessionHandle = 0;
    bool sessionExtended = false;
    uint16_t sessionTimeout = 0;
    unsigned sessionsOpened = 0;
    unsigned sessionsEnded = 0;
    Partition staticParts[kSlots];
    Partition dynamicParts[kSlots];
    unsigned detachRequests = 0;
    bool flagSet = false;
    uint8_t flagValue = 0;
    uint16_t flagHandle = 0;
    bool flagInSession = false;
    std::vector<uint8_t> flagRequest;
    std::map<uint8_t, Pending> pending;
    std::map<uint8_t, uint8_t> lastStatus;
    unsigned coldResets = 0;
    unsigned requests = 0;
    unsigned refusals = 0;
    unsigned opens = 0;
    unsigned openFailures = 0;
    Delivery last;

    Decision decide(uint8_t netfn, uint8_t cmd, const std::vector<uint8_t>& req) const;
    Decision decideRepository(const std::vector<uint8_t>& req) const;
    void apply(const Effect& e);
    Decision refuse(uint8_t cc, const char* why) const
    {
        Decision d;
        d.cc = cc;
        d.refused = why;
        return d;
    }
    uint16_t grantHandle() const
    {
        // Each new session gets a new handle, so a handle kept from an ended
        // session is refused; a scripted handle 0 stays 0.
        if (script.handle == 0)
            return 0;
        uint16_t h = static_cast<uint16_t>(script.handle + sessionsOpened);
        return h == 0 ? 1 : h;
    }
    std::string text() const;
    void saveState() const;
};

Controller::Controller(const std::string& scriptPath, const std::string& logPath)
    : impl_(std::make_unique<Impl>())
{
    Impl& m = *impl_;
    if (!scriptPath.empty())
        m.script = loadScript(scriptPath);
    for (const PartitionSpec& p : m.script.partitions) {
        Partition& slot = p.dynamic ? m.dynamicParts[p.slot] : m.staticParts[p.slot];
        slot.present = true;
        slot.name = p.name;
        slot.attached = p.attached;
    }
    if (!logPath.empty()) {
        m.log = std::fopen(logPath.c_str(), "ae");
        if (m.log != nullptr && !m.script.error.empty()) {
            std::fprintf(m.log, "script-error %s\n", m.script.error.c_str());
            std::fflush(m.log);
        }
    }
}

Controller::~Controller()
{
    if (impl_->log != nullptr)
        std::fclose(impl_->log);
}

Decision Controller::Impl::decide(uint8_t netfn, uint8_t cmd, const std::vector<uint8_t>& req) const
{
    Decision d;
    if (netfn == kNetFnApp && cmd == kCmdGetDeviceId) {
        // A plausible identity: device 0x20, revision 1, firmware 1.00, IPMI 2.0,
        // manufacturer 32473 (the enterprise number reserved for documentation).
        d.data = {0x20, 0x81, 0x01, 0x00, 0x02, 0xBF, 0xD9, 0x7E,
                  0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
        return d;
    }
    if (netfn == kNetFnApp && cmd == kCmdColdReset) {
        d.effect.kind = EffectKind::ColdReset;
        return d;
    }
    if (netfn != kNetFnOem)
        return refuse(script.codes.unsupported, "unsupported");
    switch (cmd) {
    case kCmdRepositoryType:
        d.data = {script.repositoryType, 0x00, 0x00};
        return d;
    case kCmdAccessState:
        d.data = {script.accessState, 0x00, 0x00};
        return d;
    case kCmdGeneration:
        d.data = {0x00, 0x00, 0x00, 0x00, 0x00, script.generation};
        return d;
    case kCmdRepository:
        return decideRepository(req);
    default:
        return refuse(script.codes.unsupported, "unsupported");
    }
}

Decision Controller::Impl::decideRepository(const std::vector<uint8_t>& req) const
{
    const RefusalCodes& codes = script.codes;
    if (req.empty())
        return refuse(codes.badLength, "bad-length");
    const uint8_t sub = req[0];
    const SubCommand* known = findSub(sub);
    if (known == nullptr || script.repositoryType > 2)
        return refuse(codes.unsupported, "unsupported");
    const bool newGeneration = is17G(script.generation);
    const bool flagFamily = sub == kSubSetFlag || sub == kSubGetFlag || sub == kSubStatus;
    // From 17G on the repository commands are gone; only the state flag remains.
    if (newGeneration && !flagFamily)
        return refuse(codes.unsupported, "unsupported");
    if (req.size() < known->minData)
        return refuse(codes.badLength, "bad-length");

    Decision d;
    if (sub == kSubBegin || sub == kSubBeginExtended) {
        if (script.accessState != 0x00 && script.accessState != 0x02)
            return refuse(codes.disabled, "disabled");
        if (sessionOpen)
            return refuse(codes.secondSession, "second-session");
        uint16_t h = grantHandle();
        d.data = {static_cast<uint8_t>(h & 0xFF), static_cast<uint8_t>(h >> 8), 0, 0, 0, 0};
        d.effect.kind = EffectKind::OpenSession;
        d.effect.extended = sub == kSubBeginExtended;
        d.effect.timeout = static_cast<uint16_t>(req[2] | (req[3] << 8));
        d.effect.handle = h;
        return d;
    }
    if (known->minData < 3)
        return refuse(codes.unsupported, "unsupported");

    const uint16_t handle = static_cast<uint16_t>(req[1] | (req[2] << 8));
    if (!sessionOpen) {
        bool allowedWithout = newGeneration && flagFamily && handle == 0;
        if (!allowedWithout)
            return refuse(codes.noSession, "no-session");
    } else if (handle != sessionHandle) {
        return refuse(codes.wrongHandle, "wrong-handle");
    }
    const uint8_t hlo = static_cast<uint8_t>(handle & 0xFF);
    const uint8_t hhi = static_cast<uint8_t>(handle >> 8);

    switch (sub) {
    case kSubEnd:
        d.data = {0x00, 0x00};
        d.effect.kind = EffectKind::EndSession;
        return d;
    case kSubIndexInfo: {
        uint16_t st = 0, dyn = 0;
        for (unsigned i = 0; i < kSlots; ++i) {
            if (staticParts[i].present)
                st = static_cast<uint16_t>(st | (1u << i));
            if (dynamicParts[i].present && !dynamicParts[i].deleted)
                dyn = static_cast<uint16_t>(dyn | (1u << i));
        }
        d.data = {hlo, hhi, static_cast<uint8_t>(st >> 8),  static_cast<uint8_t>(st & 0xFF),
                  0,   0,   static_cast<uint8_t>(dyn >> 8), static_cast<uint8_t>(dyn & 0xFF),
                  0,   0};
        return d;
    }
    case kSubPartitionInfo: {
        const bool dynamic = (req[3] & kDynamicSelector) != 0;
        const unsigned slot = req[4];
        const Partition* p = nullptr;
        if (slot < kSlots)
            p = dynamic ? &dynamicParts[slot] : &staticParts[slot];
        if (p == nullptr || !p->present || p->deleted)
            return refuse(codes.badSlot, "bad-slot");
        d.data = {hlo, hhi, req[3], req[4], 0, 0, 0, 0, 0, 0, 0};
        for (size_t i = 0; i < p->name.size() && i < 6; ++i)
            d.data[4 + i] = static_cast<uint8_t>(p->name[i]);
        return d;
    }
    case kSubDetach:
        d.data = {hlo, hhi, 0x00, 0x00};
        d.effect.kind = EffectKind::Detach;
        // Slot sets travel big-endian: bit n of the 16-bit value is slot n.
        d.effect.staticBits = static_cast<uint16_t>((req[3] << 8) | req[4]);
        d.effect.dynamicBits = static_cast<uint16_t>((req[7] << 8) | req[8]);
        return d;
    case kSubDelete: {
        const uint16_t bits = static_cast<uint16_t>((req[3] << 8) | req[4]);
        bool any = false;
        for (unsigned i = 0; i < kSlots; ++i) {
            if ((bits & (1u << i)) == 0)
                continue;
            const Partition& p = dynamicParts[i];
            if (!p.present || p.deleted)
                return refuse(codes.badSlot, "bad-slot");
            if (p.attached)
                return refuse(codes.attached, "attached");
            any = true;
        }
        if (!any)
            return refuse(codes.badSlot, "bad-slot");
        d.data = {hlo, hhi, req[3], req[4], 0, 0, 0, 0};
        d.effect.kind = EffectKind::Delete;
        d.effect.dynamicBits = bits;
        return d;
    }
    case kSubStatus: {
        const uint8_t followed = req[3];
        uint8_t status = 0;
        auto it = pending.find(followed);
        if (it != pending.end()) {
            status = it->second.pollsLeft > 0 ? kStatusPending : it->second.finalStatus;
            d.effect.kind = EffectKind::Poll;
            d.effect.value = followed;
        } else {
            auto ls = lastStatus.find(followed);
            if (ls != lastStatus.end())
                status = ls->second;
        }
        d.data = {hlo, hhi, status, followed};
        return d;
    }
    case kSubGetFlag:
        d.data = {hlo, hhi, 0x00, flagValue};
        return d;
    case kSubSetFlag:
        d.data = {hlo, hhi, 0x00, req[4]};
        d.effect.kind = EffectKind::SetFlag;
        d.effect.value = req[4];
        d.effect.handle = handle;
        return d;
    default:
        // Known to the firmware but outside what this controller models.
        return refuse(codes.unsupported, "unsupported");
    }
}

void Controller::Impl::apply(const Effect& e)
{
    switch (e.kind) {
    case EffectKind::None:
        break;
    case EffectKind::OpenSession:
        sessionOpen = true;
        sessionHandle = e.handle;
        sessionExtended = e.extended;
        sessionTimeout = e.timeout;
        ++sessionsOpened;
        break;
    case EffectKind::EndSession:
        sessionOpen = false;
        ++sessionsEnded;
        break;
    case EffectKind::Detach:
        ++detachRequests;
        for (unsigned i = 0; i < kSlots; ++i) {
            if (e.staticBits & (1u << i))
                staticParts[i].attached = false;
            if (e.dynamicBits & (1u << i))
                dynamicParts[i].attached = false;
        }
        break;
    case EffectKind::Delete:
        for (unsigned i = 0; i < kSlots; ++i) {
            if (e.dynamicBits & (1u << i)) {
                dynamicParts[i].deleted = true;
                dynamicParts[i].attached = false;
            }
        }
        break;
    case EffectKind::SetFlag:
        flagSet = true;
        flagValue = e.value;
        flagHandle = e.handle;
        flagInSession = sessionOpen;
        flagRequest = e.request;
        break;
    case EffectKind::Poll: {
        auto it = pending.find(e.value);
        if (it == pending.end())
            break;
        if (it->second.pollsLeft > 0) {
            --it->second.pollsLeft;
            break;
        }
        Pending done = it->second;
        pending.erase(it);
        lastStatus[e.value] = done.finalStatus;
        if (done.finalStatus == 0)
            apply(done.effect);
        break;
    }
    case EffectKind::ColdReset:
        sessionOpen = false;
        pending.clear();
        ++coldResets;
        break;
    }
}

Reply Controller::handle(uint8_t netfn, uint8_t lun, uint8_t cmd, const std::vector<uint8_t>& data)
{
    Impl& m = *impl_;
    std::lock_guard<std::mutex> lock(m.mutex);
    ++m.requests;
    m.last = Delivery{};

    Decision d = m.decide(netfn, cmd, data);
    if (d.effect.kind == EffectKind::SetFlag) {
        d.effect.request = {netfn, cmd};
        d.effect.request.insert(d.effect.request.end(), data.begin(), data.end());
    }

    // Every rule counts the requests its selector matches; the first one in
    // file order whose window (skip, times) covers this request answers.
    Rule* rule = nullptr;
    for (Rule& r : m.script.rules) {
        if (r.netfn >= 0 && r.netfn != netfn)
            continue;
        if (r.cmd >= 0 && r.cmd != cmd)
            continue;
        bool match = r.prefix.size() <= data.size();
        for (size_t i = 0; match && i < r.prefix.size(); ++i)
            match = r.prefix[i] < 0 || r.prefix[i] == data[i];
        if (!match)
            continue;
        ++r.seen;
        bool inWindow = r.seen > r.skip && (r.times == 0 || r.seen <= r.skip + r.times);
        if (inWindow && rule == nullptr)
            rule = &r;
    }

    Reply reply;
    reply.cc = d.cc;
    reply.data = d.data;
    bool applyEffect = true;
    std::string notes;
    if (rule != nullptr) {
        notes += " rule=" + std::to_string(rule->line);
        if (rule->sendErrno != 0) {
            // The request never reaches the controller.
            m.last.sendErrno = rule->sendErrno;
            applyEffect = false;
            reply = Reply{};
        } else if (rule->silent || rule->hold) {
            reply.silent = true;
            reply.held = rule->hold;
            applyEffect = false;
        } else if (rule->pending && d.refused == nullptr && netfn == kNetFnOem &&
                   cmd == kCmdRepository && !data.empty()) {
            Pending p;
            p.pollsLeft = rule->pendingPolls;
            p.finalStatus = rule->finalStatus;
            p.effect = d.effect;
            m.pending[data[0]] = p;
            reply.cc = rule->hasCc ? rule->cc : kStatusPending;
            reply.data.clear();
            applyEffect = false;
            notes += " pending=" + std::to_string(rule->pendingPolls);
        } else if (rule->hasCc || rule->hasData) {
            reply.cc = rule->hasCc ? rule->cc : 0x00;
            reply.data = rule->hasData ? rule->data : std::vector<uint8_t>{};
            applyEffect = false;
        }
        if (rule->length >= 0)
            reply.data.resize(static_cast<size_t>(rule->length), 0x00);
        reply.delayMs = rule->delayMs;
        m.last.staleFirst = rule->stale;
    }
    if (applyEffect) {
        if (d.refused != nullptr)
            ++m.refusals;
        m.apply(d.effect);
    }

    if (m.log != nullptr) {
        std::string name = "-";
        if (netfn == kNetFnOem && cmd == kCmdRepository && !data.empty()) {
            const char* s =
                findSub(data[0]) != nullptr ? oemcommands::SubCommandName(data[0]) : nullptr;
            name = s != nullptr ? s : "?";
        } else if (const char* s = oemcommands::CommandName(netfn, cmd)) {
            name = s;
        }
        if (d.refused != nullptr && applyEffect)
            notes += std::string(" refused=") + d.refused;
        if (m.last.sendErrno != 0)
            notes += " errno=" + std::to_string(m.last.sendErrno);
        if (reply.held)
            notes += " held";
        else if (reply.silent)
            notes += " silent";
        if (reply.delayMs != 0)
            notes += " delay=" + std::to_string(reply.delayMs);
        if (m.last.staleFirst != 0)
            notes += " stale=" + std::to_string(m.last.staleFirst);
        // Nothing reaches the caller after a failed send or a silent answer.
        const bool delivered = m.last.sendErrno == 0 && !reply.silent;
        std::string cc = delivered ? hex2(reply.cc).substr(2) : "--";
        std::string rsp = delivered ? hexBytes(reply.data) : "-";
        std::fprintf(m.log, "seq=%u netfn=%02x lun=%u cmd=%02x op=%s req=%s cc=%s rsp=%s%s\n",
                     m.requests, netfn, lun & 3u, cmd, name.c_str(), hexBytes(data).c_str(),
                     cc.c_str(), rsp.c_str(), notes.c_str());
        std::fflush(m.log);
    }
    m.saveState();
    return reply;
}

Delivery Controller::lastDelivery() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->last;
}

void Controller::setStatePath(const std::string& statePath)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->statePath = statePath;
    impl_->saveState();
}

namespace
{

bool parseNumber(const std::string& text, unsigned& value)
{
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || end == nullptr || *end != '\0' || v > 0xFFFFFFFFul)
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

} // namespace

bool Controller::resumeFrom(const std::string& statePath)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl& m = *impl_;
    FILE* f = std::fopen(statePath.c_str(), "re");
    if (f == nullptr)
        return false;
    std::map<std::string, std::string> kv;
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
        size_t eq = l.find('=');
        if (eq != std::string::npos)
            kv[l.substr(0, eq)] = l.substr(eq + 1);
    }
    std::fclose(f);
    if (kv.count("session") == 0)
        return false;
    unsigned n = 0;
    auto number = [&kv, &n](const char* key) {
        auto it = kv.find(key);
        return it != kv.end() && parseNumber(it->second, n);
    };
    if (number("requests"))
        m.requests = n;
    if (number("refusals"))
        m.refusals = n;
    if (number("opens"))
        m.opens = n;
    if (number("open_failures"))
        m.openFailures = n;
    if (number("sessions_opened"))
        m.sessionsOpened = n;
    if (number("sessions_ended"))
        m.sessionsEnded = n;
    if (number("detach_requests"))
        m.detachRequests = n;
    if (number("cold_resets"))
        m.coldResets = n;
    m.sessionOpen = kv["session"] == "open";
    if (number("session_handle"))
        m.sessionHandle = static_cast<uint16_t>(n);
    m.sessionExtended = kv["session_kind"] == "extended";
    if (number("session_timeout"))
        m.sessionTimeout = static_cast<uint16_t>(n);
    m.flagSet = kv["flag"] != "none" && number("flag");
    if (m.flagSet) {
        m.flagValue = static_cast<uint8_t>(n);
        if (number("flag_handle"))
            m.flagHandle = static_cast<uint16_t>(n);
        m.flagInSession = kv["flag_in_session"] == "yes";
        m.flagRequest.clear();
        const std::string& bytes = kv["flag_request"];
        for (size_t at = 0; at + 2 <= bytes.size(); at += 3)
            m.flagRequest.push_back(
                static_cast<uint8_t>(std::strtoul(bytes.substr(at, 2).c_str(), nullptr, 16)));
    }
    for (unsigned dynamic = 0; dynamic < 2; ++dynamic) {
        for (unsigned i = 0; i < kSlots; ++i) {
            auto it = kv.find((dynamic ? "dynamic." : "static.") + std::to_string(i));
            Partition& p = dynamic ? m.dynamicParts[i] : m.staticParts[i];
            if (it == kv.end())
                continue;
            const std::string& v = it->second;
            const size_t blank = v.rfind(' ');
            p.present = true;
            p.name = v.substr(0, blank) == "-" ? "" : v.substr(0, blank);
            const std::string how = blank == std::string::npos ? "" : v.substr(blank + 1);
            p.attached = how == "attached";
            p.deleted = how == "deleted";
        }
    }
    return true;
}

void Controller::writeState() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->saveState();
}

std::string Controller::stateText() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->text();
}

const std::vector<std::string>& Controller::devicePaths() const
{
    static const std::vector<std::string>* defaults =
        new std::vector<std::string>(std::begin(kDefaultDevices), std::end(kDefaultDevices));
    return impl_->script.devicesScripted ? impl_->script.devices : *defaults;
}

bool Controller::devicePathsScripted() const
{
    return impl_->script.devicesScripted;
}

const std::string& Controller::scriptError() const
{
    return impl_->script.error;
}

void Controller::noteOpen(const std::string& /*path*/, bool ok)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ++impl_->opens;
    if (!ok)
        ++impl_->openFailures;
    impl_->saveState();
}

unsigned Controller::requestCount() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

std::string Controller::Impl::text() const
{
    std::string t;
    auto line = [&t](const std::string& key, const std::string& value) {
        t += key;
        t += '=';
        t += value;
        t += '\n';
    };
    line("requests", std::to_string(requests));
    line("refusals", std::to_string(refusals));
    line("opens", std::to_string(opens));
    line("open_failures", std::to_string(openFailures));
    line("generation", hex2(script.generation));
    line("repository", hex2(script.repositoryType));
    std::string access = script.accessState == 0x00   ? "enabled"
                         : script.accessState == 0x02 ? "recovery"
                                                      : "disabled";
    line("access", access);
    line("session", sessionOpen ? "open" : "closed");
    line("session_handle", sessionsOpened ? hex4(sessionHandle) : "-");
    line("session_kind", sessionsOpened ? (sessionExtended ? "extended" : "plain") : "-");
    line("session_timeout", sessionsOpened ? std::to_string(sessionTimeout) : "-");
    line("sessions_opened", std::to_string(sessionsOpened));
    line("sessions_ended", std::to_string(sessionsEnded));
    line("flag", flagSet ? hex2(flagValue) : "none");
    line("flag_handle", flagSet ? hex4(flagHandle) : "-");
    line("flag_in_session", flagSet ? (flagInSession ? "yes" : "no") : "-");
    line("flag_request", flagSet ? hexBytes(flagRequest) : "-");
    std::string pend;
    for (const auto& p : pending) {
        if (!pend.empty())
            pend += ',';
        const char* s = oemcommands::SubCommandName(p.first);
        pend += (s != nullptr ? s : hex2(p.first)) + ":" + std::to_string(p.second.pollsLeft);
    }
    line("pending", pend.empty() ? "-" : pend);
    line("detach_requests", std::to_string(detachRequests));
    line("cold_resets", std::to_string(coldResets));
    for (unsigned i = 0; i < kSlots; ++i) {
        const Partition& p = staticParts[i];
        if (p.present)
            line("static." + std::to_string(i),
                 (p.name.empty() ? "-" : p.name) + (p.attached ? " attached" : " detached"));
    }
    for (unsigned i = 0; i < kSlots; ++i) {
        const Partition& p = dynamicParts[i];
        if (p.present)
            line("dynamic." + std::to_string(i),
                 (p.name.empty() ? "-" : p.name) +
                     (p.deleted ? " deleted" : (p.attached ? " attached" : " detached")));
    }
    if (!script.error.empty())
        line("script_error", script.error);
    return t;
}

void Controller::Impl::saveState() const
{
    if (statePath.empty())
        return;
    // Written aside and renamed, so a reader never sees half a state.
    std::string tmp = statePath + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "we");
    if (f == nullptr)
        return;
    std::string t = text();
    bool ok = std::fwrite(t.data(), 1, t.size(), f) == t.size();
    ok = std::fclose(f) == 0 && ok;
    if (ok)
        std::rename(tmp.c_str(), statePath.c_str());
}

} // namespace simipmi
