#include "Script.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace simipmi
{
namespace
{

struct ParseError {
    std::string message;
};

std::string lower(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// Bytes are written in hexadecimal, with or without "0x".
unsigned long parseHex(const std::string& tok, unsigned long max, const char* what)
{
    std::string s = tok;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s = s.substr(2);
    if (s.empty() || s.size() > 8)
        throw ParseError{std::string("bad ") + what + " '" + tok + "'"};
    char* end = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &end, 16);
    if (*end != '\0' || v > max)
        throw ParseError{std::string("bad ") + what + " '" + tok + "'"};
    return v;
}

// Counts are written in decimal.
unsigned long parseCount(const std::string& tok, unsigned long max, const char* what)
{
    if (tok.empty() || tok.find_first_not_of("0123456789") != std::string::npos || tok.size() > 9)
        throw ParseError{std::string("bad ") + what + " '" + tok + "'"};
    unsigned long v = std::strtoul(tok.c_str(), nullptr, 10);
    if (v > max)
        throw ParseError{std::string(what) + " out of range '" + tok + "'"};
    return v;
}

class Tokens
{
public:
    explicit Tokens(std::vector<std::string> toks) : toks_(std::move(toks)) {}
    bool done() const { return pos_ >= toks_.size(); }
    const std::string& peek() const { return toks_[pos_]; }
    std::string next(const char* what)
    {
        if (done())
            throw ParseError{std::string("missing ") + what};
        return toks_[pos_++];
    }

private:
    std::vector<std::string> toks_;
    size_t pos_ = 0;
};

uint8_t parseAccess(const std::string& tok)
{
    std::string t = lower(tok);
    if (t == "enabled")
        return 0x00;
    if (t == "recovery")
        return 0x02;
    if (t == "disabled")
        return 0x01;
    return static_cast<uint8_t>(parseHex(tok, 0xFF, "access state"));
}

void parseCode(Tokens& t, RefusalCodes& codes)
{
    std::string name = lower(t.next("refusal name"));
    uint8_t v = static_cast<uint8_t>(parseHex(t.next("completion code"), 0xFF, "completion code"));
    struct Entry {
        const char* name;
        uint8_t RefusalCodes::*field;
    };
    static const Entry entries[] = {
        {"no-session", &RefusalCodes::noSession},
        {"wrong-handle", &RefusalCodes::wrongHandle},
        {"second-session", &RefusalCodes::secondSession},
        {"disabled", &RefusalCodes::disabled},
        {"unsupported", &RefusalCodes::unsupported},
        {"bad-length", &RefusalCodes::badLength},
        {"bad-slot", &RefusalCodes::badSlot},
        {"attached", &RefusalCodes::attached},
    };
    for (const Entry& e : entries) {
        if (name == e.name) {
            codes.*(e.field) = v;
            return;
        }
    }
    throw ParseError{"unknown refusal '" + name + "'"};
}

void parsePartition(Tokens& t, Script& s)
{
    PartitionSpec p;
    std::string kind = lower(t.next("partition kind"));
    if (kind == "dynamic")
        p.dynamic = true;
    else if (kind != "static")
        throw ParseError{"partition kind must be static or dynamic, not '" + kind + "'"};
    p.slot = static_cast<unsigned>(parseCount(t.next("slot"), 7, "slot"));
    p.name = t.next("partition name");
    if (p.name == "-")
        p.name.clear();
    if (p.name.size() > 6)
        throw ParseError{"partition name longer than 6 characters '" + p.name + "'"};
    while (!t.done()) {
        std::string w = lower(t.next("attribute"));
        if (w == "attached")
            p.attached = true;
        else if (w != "detached")
            throw ParseError{"unknown partition attribute '" + w + "'"};
    }
    for (const PartitionSpec& q : s.partitions) {
        if (q.dynamic == p.dynamic && q.slot == p.slot)
            throw ParseError{"slot declared twice"};
    }
    s.partitions.push_back(p);
}

bool isAction(const std::string& tok)
{
    static const char* const actions[] = {"cc",    "data",  "silent", "hold",    "delay",
                                          "stale", "errno", "length", "pending", "status"};
    std::string w = lower(tok);
    for (const char* a : actions) {
        if (w == a)
            return true;
    }
    return false;
}

int parseSelectorByte(const std::string& tok, const char* what)
{
    if (tok == "*" || lower(tok) == "xx")
        return -1;
    return static_cast<int>(parseHex(tok, 0xFF, what));
}

void parseRule(Tokens& t, Script& s, unsigned lineNo)
{
    Rule r;
    r.line = lineNo;
    r.netfn = parseSelectorByte(t.next("netfn"), "netfn");
    r.cmd = parseSelectorByte(t.next("command"), "command");
    bool sawColon = false;
    while (!t.done()) {
        std::string tok = t.next("selector");
        std::string w = lower(tok);
        if (w == ":") {
            sawColon = true;
            break;
        }
        if (w == "skip")
            r.skip = static_cast<unsigned>(parseCount(t.next("skip count"), 1000000, "skip"));
        else if (w == "times")
            r.times = static_cast<unsigned>(parseCount(t.next("times count"), 1000000, "times"));
        else
            r.prefix.push_back(parseSelectorByte(tok, "prefix byte"));
    }
    if (!sawColon)
        throw ParseError{"rule without ':' before its actions"};
    bool any = false;
    while (!t.done()) {
        std::string w = lower(t.next("action"));
        any = true;
        if (w == "cc") {
            r.hasCc = true;
            r.cc =
                static_cast<uint8_t>(parseHex(t.next("completion code"), 0xFF, "completion code"));
        } else if (w == "data") {
            r.hasData = true;
            // Data runs to the next keyword or the end of the line.
            while (!t.done() && !isAction(t.peek()))
                r.data.push_back(static_cast<uint8_t>(parseHex(t.next("byte"), 0xFF, "data byte")));
        } else if (w == "silent") {
            r.silent = true;
        } else if (w == "hold") {
            r.hold = true;
        } else if (w == "delay") {
            r.delayMs = static_cast<unsigned>(parseCount(t.next("delay"), 3600000, "delay"));
        } else if (w == "stale") {
            r.stale = static_cast<unsigned>(parseCount(t.next("stale count"), 64, "stale"));
        } else if (w == "errno") {
            std::string e = t.next("errno");
            r.sendErrno = errnoFromName(e);
            if (r.sendErrno <= 0)
                throw ParseError{"unknown errno '" + e + "'"};
        } else if (w == "length") {
            r.length = static_cast<int>(parseCount(t.next("length"), 1024, "length"));
        } else if (w == "pending") {
            r.pending = true;
            r.pendingPolls =
                static_cast<unsigned>(parseCount(t.next("poll count"), 100000, "polls"));
        } else if (w == "status") {
            r.finalStatus = static_cast<uint8_t>(parseHex(t.next("status"), 0xFF, "status"));
        } else {
            throw ParseError{"unknown action '" + w + "'"};
        }
    }
    if (!any)
        throw ParseError{"rule without actions"};
    if (r.pending && (r.netfn != 0x30 || r.cmd != 0xA2))
        throw ParseError{"pending applies to repository sub-commands (30 a2) only"};
    if (r.pending && r.hasData)
        throw ParseError{"pending and data do not combine"};
    s.rules.push_back(std::move(r));
}

std::vector<std::string> splitBlanks(const std::string& line)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

void parseLine(const std::string& raw, unsigned lineNo, Script& s)
{
    std::string line = raw.substr(0, raw.find('#'));
    std::vector<std::string> toks;
    for (const std::string& tok : splitBlanks(line)) {
        // "a2:" and ":cc" are written often enough to accept them.
        if (tok.size() > 1 && tok.back() == ':') {
            toks.push_back(tok.substr(0, tok.size() - 1));
            toks.emplace_back(":");
        } else if (tok.size() > 1 && tok.front() == ':') {
            toks.emplace_back(":");
            toks.push_back(tok.substr(1));
        } else {
            toks.push_back(tok);
        }
    }
    if (toks.empty())
        return;
    Tokens t(toks);
    std::string key = lower(t.next("keyword"));
    if (key == "on") {
        parseRule(t, s, lineNo);
        return;
    }
    if (key == "generation") {
        s.generation = static_cast<uint8_t>(parseHex(t.next("generation"), 0xFF, "generation"));
    } else if (key == "repository") {
        std::string v = t.next("repository type");
        s.repositoryType =
            lower(v) == "none" ? 0xFF : static_cast<uint8_t>(parseHex(v, 0xFF, "repository type"));
    } else if (key == "access") {
        s.accessState = parseAccess(t.next("access state"));
    } else if (key == "handle") {
        s.handle = static_cast<uint16_t>(parseHex(t.next("handle"), 0xFFFF, "handle"));
    } else if (key == "partition") {
        parsePartition(t, s);
        return;
    } else if (key == "devices") {
        s.devicesScripted = true;
        s.devices.clear();
        while (!t.done()) {
            std::string p = t.next("path");
            if (lower(p) == "none")
                continue;
            s.devices.push_back(p);
        }
        return;
    } else if (key == "code") {
        parseCode(t, s.codes);
    } else {
        throw ParseError{"unknown keyword '" + key + "'"};
    }
    if (!t.done())
        throw ParseError{"unexpected '" + t.peek() + "'"};
}

} // namespace

Script parseScript(const std::string& text)
{
    Script s;
    unsigned lineNo = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++lineNo;
        try {
            parseLine(line, lineNo, s);
        } catch (const ParseError& e) {
            s.error = "line " + std::to_string(lineNo) + ": " + e.message;
            break;
        }
    }
    return s;
}

Script loadScript(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) {
        Script s;
        s.error = "cannot read script " + path + ": " + std::strerror(errno);
        return s;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return parseScript(text);
}

int errnoFromName(const std::string& name)
{
    struct Entry {
        const char* name;
        int value;
    };
    static const Entry entries[] = {
        {"EIO", EIO},       {"EINVAL", EINVAL}, {"EMSGSIZE", EMSGSIZE}, {"ENOMEM", ENOMEM},
        {"EFAULT", EFAULT}, {"EBUSY", EBUSY},   {"ENXIO", ENXIO},       {"ENODEV", ENODEV},
        {"EAGAIN", EAGAIN}, {"EINTR", EINTR},   {"EPERM", EPERM},       {"ETIMEDOUT", ETIMEDOUT},
        {"ENOENT", ENOENT}, {"EACCES", EACCES},
    };
    for (const Entry& e : entries) {
        if (strcasecmp(name.c_str(), e.name) == 0)
            return e.value;
    }
    if (!name.empty() && name.size() < 5 &&
        name.find_first_not_of("0123456789") == std::string::npos)
        return std::atoi(name.c_str());
    return 0;
}

} // namespace simipmi
