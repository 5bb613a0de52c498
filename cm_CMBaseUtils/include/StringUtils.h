#pragma once

#include <cstdint>
#include <string>

class CStringUtils
{
public:
    // Strips leading and trailing isspace() bytes; a text made only of
    // whitespace becomes empty.
    static std::string trim_string(const std::string& text);
    static std::string toLowerCase(const std::string& text);
    // Reads hexadecimal digits, after an optional "0x"/"0X", up to the first
    // other byte. 0 when the text does not start with a hexadecimal digit;
    // a value beyond 64 bits saturates at the largest value.
    static uint64_t Hex2Dec(const std::string& text);
    // The value of one hexadecimal digit (either case); -1 for any other byte.
    static int HexDigit(char c);
    // Text that came from a device or the controller, made safe for a log
    // line: control bytes (below 0x20, and 0x7F) become "\xHH", so the text
    // cannot end the line or start a forged one. Other bytes stay.
    static std::string escapeControl(const std::string& text);
    // One word of the tool's line-based state files (the crash journal, the
    // pending power cycle): every byte outside '!'..'~', and '%', as "%XX",
    // so a word holds no blank or line break whatever it came from.
    static std::string PercentEscaped(const std::string& word);
};
