#include "XMLText.h"

namespace
{

const char kReplacement[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence XML 1.0 accepts at `pos`, or 0.
size_t validSequenceLength(const std::string& s, size_t pos)
{
    const size_t left = s.size() - pos;
    const unsigned char b0 = static_cast<unsigned char>(s[pos]);
    auto cont = [&](size_t i) {
        return i < left && (static_cast<unsigned char>(s[pos + i]) & 0xC0) == 0x80;
    };
    if (b0 < 0x80) {
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        return cont(1) ? 2 : 0;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (!cont(1) || !cont(2)) {
            return 0;
        }
        const unsigned char b1 = static_cast<unsigned char>(s[pos + 1]);
        const unsigned char b2 = static_cast<unsigned char>(s[pos + 2]);
        if (b0 == 0xE0 && b1 < 0xA0) {
            return 0; // overlong
        }
        if (b0 == 0xED && b1 >= 0xA0) {
            return 0; // surrogate
        }
        if (b0 == 0xEF && b1 == 0xBF && (b2 == 0xBE || b2 == 0xBF)) {
            return 0; // U+FFFE, U+FFFF
        }
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) {
            return 0;
        }
        const unsigned char b1 = static_cast<unsigned char>(s[pos + 1]);
        if (b0 == 0xF0 && b1 < 0x90) {
            return 0; // overlong
        }
        if (b0 == 0xF4 && b1 >= 0x90) {
            return 0; // beyond U+10FFFF
        }
        return 4;
    }
    return 0;
}

} // namespace

std::string XMLEscapeValue(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    size_t pos = 0;
    while (pos < value.size()) {
        const char c = value[pos];
        switch (c) {
        case '&':
            out += "&amp;";
            ++pos;
            continue;
        case '<':
            out += "&lt;";
            ++pos;
            continue;
        case '>':
            out += "&gt;";
            ++pos;
            continue;
        case '"':
            out += "&quot;";
            ++pos;
            continue;
        case '\t':
            out += "&#9;";
            ++pos;
            continue;
        case '\n':
            out += "&#10;";
            ++pos;
            continue;
        case '\r':
            out += "&#13;";
            ++pos;
            continue;
        case '\0':
            ++pos;
            continue;
        default:
            break;
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            out += kReplacement;
            ++pos;
            continue;
        }
        const size_t len = validSequenceLength(value, pos);
        if (len == 0) {
            out += kReplacement;
            ++pos;
            continue;
        }
        out.append(value, pos, len);
        pos += len;
    }
    return out;
}
