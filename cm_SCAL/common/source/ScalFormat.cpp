#include "ScalFormat.h"

#include <cstdio>

namespace scal
{

std::string Hex2(uint8_t value)
{
    char text[4];
    std::snprintf(text, sizeof(text), "%02x", static_cast<unsigned>(value));
    return text;
}

std::string HexNoPad(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%x", value);
    return text;
}

std::string DumpBytes(const uint8_t* bytes, std::size_t count)
{
    std::string out;
    out.reserve(count * 5);
    for (std::size_t i = 0; i < count; ++i) {
        out += " 0x";
        out += Hex2(bytes[i]);
    }
    return out;
}

std::string FieldText(const uint8_t* bytes, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count && bytes[i] != 0; ++i) {
        out += static_cast<char>(bytes[i]);
    }
    return out;
}

} // namespace scal
