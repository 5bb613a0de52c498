#include "Transcript.h"

#include "StoreLibDecode.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>

namespace lumorecord
{
namespace
{

const char kDigits[] = "0123456789abcdef";
const char kCrcKey[] = ",\"crc\":\"";
constexpr size_t kCrcKeyLen = sizeof(kCrcKey) - 1;
// ,"crc":"XXXXXXXX"}
constexpr size_t kSealLen = kCrcKeyLen + 8 + 2;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendQuoted(std::string& out, const std::string& s)
{
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

bool ParseHex8(const char* p, uint32_t& v)
{
    v = 0;
    for (int i = 0; i < 8; ++i) {
        const int d = HexDigit(p[i]);
        if (d < 0 || (p[i] >= 'A' && p[i] <= 'F'))
            return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return true;
}

class Parser
{
public:
    explicit Parser(const std::string& text) : m_s(text) {}

    bool object(Entry& e, std::string& error)
    {
        if (!expect('{'))
            return fail(error, "expected '{'");
        if (peek() == '}') {
            ++m_i;
        } else {
            for (;;) {
                std::string key;
                if (!string(key))
                    return fail(error, "expected a quoted key");
                if (e.find(key) != nullptr)
                    return fail(error, "key \"" + PrintableText(key) + "\" repeated");
                if (!expect(':'))
                    return fail(error, "expected ':'");
                Value v;
                if (peek() == '"') {
                    if (!string(v.text))
                        return fail(error, "bad string");
                } else if (!number(v.number)) {
                    return fail(error, "expected a string or an integer");
                } else {
                    v.isNumber = true;
                }
                e.fields.emplace_back(key, v);
                if (peek() == ',') {
                    ++m_i;
                    continue;
                }
                if (!expect('}'))
                    return fail(error, "expected ',' or '}'");
                break;
            }
        }
        if (m_i != m_s.size())
            return fail(error, "text after the object");
        return true;
    }

private:
    char peek() const { return m_i < m_s.size() ? m_s[m_i] : '\0'; }
    bool expect(char c)
    {
        if (peek() != c)
            return false;
        ++m_i;
        return true;
    }
    bool fail(std::string& error, const std::string& what) const
    {
        error = "column " + std::to_string(m_i + 1) + ": " + what;
        return false;
    }
    bool string(std::string& out)
    {
        if (!expect('"'))
            return false;
        while (m_i < m_s.size()) {
            const unsigned char c = static_cast<unsigned char>(m_s[m_i++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_i >= m_s.size())
                return false;
            const char esc = m_s[m_i++];
            switch (esc) {
            case '"':
            case '\\':
            case '/':
                out += esc;
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                if (m_i + 4 > m_s.size())
                    return false;
                unsigned v = 0;
                for (int k = 0; k < 4; ++k) {
                    const int d = HexDigit(m_s[m_i++]);
                    if (d < 0)
                        return false;
                    v = (v << 4) | static_cast<unsigned>(d);
                }
                // Only single bytes are ever written this way.
                if (v > 0xFF)
                    return false;
                out += static_cast<char>(v);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }
    bool number(int64_t& out)
    {
        bool negative = false;
        if (peek() == '-') {
            negative = true;
            ++m_i;
        }
        if (peek() < '0' || peek() > '9')
            return false;
        if (peek() == '0' && m_i + 1 < m_s.size() && m_s[m_i + 1] >= '0' && m_s[m_i + 1] <= '9')
            return false; // no leading zeros
        uint64_t v = 0;
        const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
        while (peek() >= '0' && peek() <= '9') {
            v = v * 10 + static_cast<uint64_t>(m_s[m_i++] - '0');
            if (v > limit)
                return false;
        }
        if (peek() == '.' || peek() == 'e' || peek() == 'E')
            return false;
        out = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        return true;
    }

    const std::string& m_s;
    size_t m_i = 0;
};

} // namespace

std::string Hex(const uint8_t* bytes, size_t n)
{
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

bool FromHex(const std::string& text, std::vector<uint8_t>& out)
{
    out.clear();
    if (text.size() % 2 != 0)
        return false;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = HexDigit(text[i]);
        const int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

uint32_t Crc32(uint32_t crc, const void* data, size_t n)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string Hex8(uint32_t v)
{
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

Line& Line::add(const std::string& key, const std::string& value)
{
    m_body += m_body.empty() ? "{" : ",";
    AppendQuoted(m_body, key);
    m_body += ':';
    AppendQuoted(m_body, value);
    return *this;
}

Line& Line::add(const std::string& key, int64_t value)
{
    m_body += m_body.empty() ? "{" : ",";
    AppendQuoted(m_body, key);
    m_body += ':';
    m_body += std::to_string(value);
    return *this;
}

std::string Line::seal(uint32_t previous, uint32_t* crcOut) const
{
    const std::string body = m_body.empty() ? "{" : m_body;
    const std::string prev = Hex8(previous);
    uint32_t crc = Crc32(0, prev.data(), prev.size());
    crc = Crc32(crc, body.data(), body.size());
    if (crcOut != nullptr)
        *crcOut = crc;
    return body + kCrcKey + Hex8(crc) + "\"}\n";
}

bool TrailingCrc(const std::string& tail, uint32_t& crc)
{
    // ...XXXXXXXX"}\n
    if (tail.size() < 11 || tail.compare(tail.size() - 3, 3, "\"}\n") != 0)
        return false;
    return ParseHex8(tail.data() + tail.size() - 11, crc);
}

const Value* Entry::find(const std::string& key) const
{
    for (const auto& f : fields) {
        if (f.first == key)
            return &f.second;
    }
    return nullptr;
}

std::string Entry::str(const std::string& key) const
{
    const Value* v = find(key);
    return v != nullptr && !v->isNumber ? v->text : std::string();
}

std::string Entry::shown(const std::string& key) const
{
    return PrintableText(str(key));
}

int64_t Entry::num(const std::string& key, int64_t fallback) const
{
    const Value* v = find(key);
    return v != nullptr && v->isNumber ? v->number : fallback;
}

bool Entry::bytes(const std::string& key, std::vector<uint8_t>& out) const
{
    const Value* v = find(key);
    if (v == nullptr || v->isNumber) {
        out.clear();
        return false;
    }
    return FromHex(v->text, out);
}

std::string Entry::normalised() const
{
    Line l;
    for (const auto& f : fields) {
        if (f.first == "t_us" || f.first == "crc" || f.first == "run")
            continue;
        if (f.second.isNumber)
            l.add(f.first, f.second.number);
        else
            l.add(f.first, f.second.text);
    }
    return l.seal(0);
}

bool ParseObject(const std::string& text, Entry& entry, std::string& error)
{
    entry.fields.clear();
    Parser p(text);
    return p.object(entry, error);
}

bool ParseTranscript(const std::string& text, Transcript& out, std::string& error)
{
    out = Transcript();
    uint32_t chain = kChainStart;
    size_t lineNo = 0;
    size_t at = 0;
    if (text.empty()) {
        error = "line 1: empty transcript (no header)";
        return false;
    }
    while (at < text.size()) {
        ++lineNo;
        const size_t nl = text.find('\n', at);
        const std::string where = "line " + std::to_string(lineNo) + ": ";
        if (nl == std::string::npos) {
            error = where + "cut off (no end of line)";
            return false;
        }
        const std::string line = text.substr(at, nl - at);
        at = nl + 1;
        if (line.size() < kSealLen + 1 ||
            line.compare(line.size() - kSealLen, kCrcKeyLen, kCrcKey) != 0 ||
            line.compare(line.size() - 2, 2, "\"}") != 0) {
            error = where + "no checksum at the end of the line";
            return false;
        }
        uint32_t recorded = 0;
        if (!ParseHex8(line.data() + line.size() - 10, recorded)) {
            error = where + "malformed checksum";
            return false;
        }
        const std::string prev = Hex8(chain);
        uint32_t crc = Crc32(0, prev.data(), prev.size());
        crc = Crc32(crc, line.data(), line.size() - kSealLen);
        Entry e;
        e.line = lineNo;
        std::string perr;
        if (!ParseObject(line, e, perr)) {
            error = where + perr;
            return false;
        }
        if (crc != recorded) {
            error = where + "checksum does not follow from the lines before "
                            "(line cut, dropped, moved or edited)";
            return false;
        }
        chain = crc;
        if (lineNo == 1) {
            if (e.str("format") != kFormatName) {
                error = where + "not a lumoswitch transcript header";
                return false;
            }
            out.version = static_cast<int>(e.num("version", -1));
            if (out.version != kFormatVersion) {
                error = where + "format version " + std::to_string(out.version) +
                        " (this build reads version " + std::to_string(kFormatVersion) + ")";
                return false;
            }
            out.run = e.str("run");
            continue;
        }
        const std::string b = e.str("b");
        if (b != "storelib" && b != "ipmi") {
            error = where + "unknown boundary \"" + PrintableText(b) + "\"";
            return false;
        }
        if (e.str("ev").empty()) {
            error = where + "no event";
            return false;
        }
        out.entries.push_back(std::move(e));
    }
    return true;
}

bool LoadTranscript(const std::string& path, Transcript& out, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "line 0: cannot read " + path;
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseTranscript(text, out, error);
}

} // namespace lumorecord
