// Text helpers shared by the access layer's log lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace scal
{

// Two lower-case hexadecimal digits.
std::string Hex2(uint8_t value);
// Lower-case hexadecimal without leading zeros.
std::string HexNoPad(unsigned value);
// " 0x.." for each byte.
std::string DumpBytes(const uint8_t* bytes, std::size_t count);
// Bytes from offset, up to the first zero byte or the end of the field.
std::string FieldText(const uint8_t* bytes, std::size_t count);

} // namespace scal
