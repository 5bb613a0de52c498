#include "Topology.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace storelibsim
{

namespace
{

// Splits a line into words; double-quoted parts keep their blanks and take
// the escapes \" \\ and \xHH, so serials with blanks or odd bytes can be given.
bool Tokenize(const std::string& line, std::vector<std::string>& words, std::string& error)
{
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
        }
        if (i >= line.size() || line[i] == '#') {
            break;
        }
        std::string word;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
            if (line[i] != '"') {
                word += line[i++];
                continue;
            }
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) {
                    char e = line[i++];
                    if (e == 'x' && i + 2 <= line.size()) {
                        word +=
                            static_cast<char>(std::strtoul(line.substr(i, 2).c_str(), nullptr, 16));
                        i += 2;
                    } else {
                        word += e;
                    }
                    continue;
                }
                word += c;
            }
            if (!closed) {
                error = "unterminated quote";
                return false;
            }
        }
        words.push_back(word);
    }
    return true;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out)
{
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& out)
{
    out.clear();
    std::string digits;
    for (char c : text) {
        if (c == ':' || c == '-') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

bool ParseRevision(const std::string& text, uint8_t rev[4])
{
    std::istringstream in(text);
    std::string part;
    int n = 0;
    while (std::getline(in, part, '.')) {
        uint64_t v = 0;
        if (n >= 4 || !ParseNumber(part, 255, v)) {
            return false;
        }
        rev[n++] = static_cast<uint8_t>(v);
    }
    return n == 4;
}

struct Attributes {
    std::map<std::string, std::string> values;
    bool take(const std::string& key, std::string& out)
    {
        auto it = values.find(key);
        if (it == values.end()) {
            return false;
        }
        out = it->second;
        values.erase(it);
        return true;
    }
};

bool SplitAttributes(const std::vector<std::string>& words, Attributes& attrs, std::string& error)
{
    for (size_t i = 1; i < words.size(); ++i) {
        const size_t eq = words[i].find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "expected key=value, got '" + words[i] + "'";
            return false;
        }
        attrs.values[words[i].substr(0, eq)] = words[i].substr(eq + 1);
    }
    return true;
}

class LineParser
{
public:
    explicit LineParser(Topology& topo) : m_topo(topo) {}

    bool parse(const std::vector<std::string>& words, std::string& error)
    {
        Attributes attrs;
        if (!SplitAttributes(words, attrs, error)) {
            return false;
        }
        const std::string& kind = words[0];
        bool ok = false;
        if (kind == "init") {
            ok = parseInit(attrs, error);
        } else if (kind == "controller") {
            ok = parseController(attrs, error);
        } else if (kind == "device") {
            ok = parseDevice(attrs, error);
        } else if (kind == "fault") {
            ok = parseFault(attrs, error);
        } else {
            error = "unknown keyword '" + kind + "'";
            return false;
        }
        if (ok && !attrs.values.empty()) {
            error = "unknown attribute '" + attrs.values.begin()->first + "'";
            return false;
        }
        return ok;
    }

private:
    bool number(Attributes& attrs, const char* key, uint64_t max, uint64_t& out, bool required,
                std::string& error)
    {
        std::string text;
        if (!attrs.take(key, text)) {
            if (required) {
                error = std::string("missing ") + key + "=";
            }
            return !required;
        }
        if (!ParseNumber(text, max, out)) {
            error = std::string("bad number for ") + key + ": '" + text + "'";
            return false;
        }
        return true;
    }

    bool parseInit(Attributes& attrs, std::string& error)
    {
        uint64_t v = m_topo.initResult;
        if (!number(attrs, "result", UINT32_MAX, v, false, error)) {
            return false;
        }
        m_topo.initResult = static_cast<uint32_t>(v);
        uint64_t count = UINT64_MAX;
        if (!number(attrs, "count", 0xFFFF, count, false, error)) {
            return false;
        }
        if (count != UINT64_MAX) {
            m_topo.initCount = static_cast<int>(count);
        }
        return true;
    }

    bool parseController(Attributes& attrs, std::string& error)
    {
        Controller c;
        uint64_t v = 0;
        if (!number(attrs, "id", UINT32_MAX, v, true, error)) {
            return false;
        }
        c.id = static_cast<uint32_t>(v);
        v = 0;
        if (!number(attrs, "pdlist_result", UINT32_MAX, v, false, error)) {
            return false;
        }
        c.pdListResult = static_cast<uint32_t>(v);
        uint64_t count = UINT64_MAX;
        if (!number(attrs, "pdlist_count", UINT32_MAX, count, false, error)) {
            return false;
        }
        if (count != UINT64_MAX) {
            c.pdListCount = static_cast<int>(count);
        }
        if (m_topo.controllers.size() >= 64) {
            error = "more than 64 controllers";
            return false;
        }
        m_topo.controllers.push_back(c);
        return true;
    }

    bool current(Controller*& c, std::string& error)
    {
        if (m_topo.controllers.empty()) {
            error = "device or fault before any controller";
            return false;
        }
        c = &m_topo.controllers.back();
        return true;
    }

    bool raw(Attributes& attrs, const char* key, bool& has, std::vector<uint8_t>& out,
             std::string& error)
    {
        std::string text;
        if (!attrs.take(key, text)) {
            return true;
        }
        if (!ParseHex(text, out)) {
            error = std::string("bad hex for ") + key;
            return false;
        }
        has = true;
        return true;
    }

    bool parseDevice(Attributes& attrs, std::string& error)
    {
        Controller* c = nullptr;
        if (!current(c, error)) {
            return false;
        }
        Device d;
        uint64_t v = 0;
        if (!number(attrs, "id", 0xFFFF, v, true, error)) {
            return false;
        }
        d.id = static_cast<uint16_t>(v);
        v = 0;
        if (!number(attrs, "type", 0xFF, v, true, error)) {
            return false;
        }
        d.type = static_cast<uint8_t>(v);
        attrs.take("serial", d.serial);
        attrs.take("product", d.product);
        attrs.take("vendor", d.vendor);
        std::string text;
        if (attrs.take("revision", text) && !ParseRevision(text, d.revision)) {
            error = "bad revision '" + text + "' (want a.b.c.d)";
            return false;
        }
        uint64_t len = UINT64_MAX;
        if (!number(attrs, "vpd_len", 0xFF, len, false, error)) {
            return false;
        }
        if (len != UINT64_MAX) {
            d.vpdLength = static_cast<int>(len);
        }
        uint64_t keep = 1;
        if (!number(attrs, "keep", 1, keep, false, error)) {
            return false;
        }
        d.keepImage = keep != 0;
        if (!raw(attrs, "vpd_hex", d.hasVpdRaw, d.vpdRaw, error) ||
            !raw(attrs, "inquiry_hex", d.hasInquiryRaw, d.inquiryRaw, error) ||
            !raw(attrs, "readbuf_hex", d.hasReadBufferRaw, d.readBufferRaw, error)) {
            return false;
        }
        c->devices.push_back(d);
        return true;
    }

    bool parseFault(Attributes& attrs, std::string& error)
    {
        Controller* c = nullptr;
        if (!current(c, error)) {
            return false;
        }
        Fault f;
        uint64_t v = 0;
        if (!number(attrs, "dev", 0xFFFF, v, true, error)) {
            return false;
        }
        f.deviceId = static_cast<uint16_t>(v);
        if (!number(attrs, "opcode", 0xFF, v, true, error)) {
            return false;
        }
        f.opcode = static_cast<uint8_t>(v);
        uint64_t evpd = UINT64_MAX;
        if (!number(attrs, "evpd", 1, evpd, false, error)) {
            return false;
        }
        if (evpd != UINT64_MAX) {
            f.evpd = static_cast<int>(evpd);
        }
        v = 0;
        if (!number(attrs, "chunk", UINT32_MAX, v, false, error)) {
            return false;
        }
        f.chunk = static_cast<uint32_t>(v);
        v = 0;
        if (!number(attrs, "result", UINT32_MAX, v, false, error)) {
            return false;
        }
        f.result = static_cast<uint32_t>(v);
        v = 0;
        if (!number(attrs, "status", 0xFF, v, false, error)) {
            return false;
        }
        f.status = static_cast<uint8_t>(v);
        std::string text;
        if (attrs.take("sense", text) && (!ParseHex(text, f.sense) || f.sense.size() > 32)) {
            error = "bad sense (at most 32 hex bytes)";
            return false;
        }
        v = 0;
        if (!number(attrs, "signal", 64, v, false, error)) {
            return false;
        }
        f.signal = static_cast<int>(v);
        v = 0;
        if (!number(attrs, "hold", 1, v, false, error)) {
            return false;
        }
        f.hold = v != 0;
        v = 0;
        if (!number(attrs, "once", 1, v, false, error)) {
            return false;
        }
        f.once = v != 0;
        if (f.result == 0 && f.status == 0 && f.signal == 0 && !f.hold) {
            error = "fault needs result=, status=, signal= or hold=";
            return false;
        }
        if ((f.signal != 0 || f.hold) && (f.result != 0 || f.status != 0 || (f.signal && f.hold))) {
            error = "signal= and hold= go alone, without result= or status=";
            return false;
        }
        c->faults.push_back(f);
        return true;
    }

    Topology& m_topo;
};

} // namespace

bool ParseTopology(const std::string& text, Topology& out, std::string& error)
{
    out = Topology();
    LineParser parser(out);
    std::istringstream in(text);
    std::string line;
    int number = 0;
    std::vector<std::string> words;
    while (std::getline(in, line)) {
        ++number;
        std::string why;
        if (!Tokenize(line, words, why) || (!words.empty() && !parser.parse(words, why))) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

bool LoadTopology(const std::string& path, Topology& out, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.good()) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream oss;
    oss << in.rdbuf();
    if (!ParseTopology(oss.str(), out, error)) {
        error = path + " " + error;
        return false;
    }
    return true;
}

} // namespace storelibsim
