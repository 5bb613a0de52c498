#include "StringUtils.h"

#include <cctype>
#include <limits>

static bool isSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string CStringUtils::trim_string(const std::string& text)
{
    std::string::size_type first = 0;
    while (first < text.size() && isSpace(text[first])) {
        ++first;
    }
    std::string::size_type last = text.size();
    while (last > first && isSpace(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

std::string CStringUtils::toLowerCase(const std::string& text)
{
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

int CStringUtils::HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

uint64_t CStringUtils::Hex2Dec(const std::string& text)
{
    std::string::size_type pos = 0;
    if (text.empty() || HexDigit(text[0]) < 0) {
        return 0;
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        HexDigit(text[2]) >= 0) {
        pos = 2;
    }
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    for (; pos < text.size(); ++pos) {
        int digit = HexDigit(text[pos]);
        if (digit < 0) {
            break;
        }
        if (value > (max >> 4)) {
            return max;
        }
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    return value;
}

std::string CStringUtils::escapeControl(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

std::string CStringUtils::PercentEscaped(const std::string& word)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : word) {
        if (c > ' ' && c <= '~' && c != '%') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}
