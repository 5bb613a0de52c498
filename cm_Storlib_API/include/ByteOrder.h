#pragma once

// Multi-byte fields of the bytes devices and the management controller
// exchange, written and read one byte at a time in the order the wire
// gives them: big-endian for SCSI command blocks and the data devices
// return, little-endian for most fields of the controller's OEM requests.

#include <cstdint>

namespace byteorder
{

inline void PutBE16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// The low 24 bits of v; the top byte is dropped.
inline void PutBE24(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}

inline void PutBE32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    PutBE24(p + 1, v);
}

inline uint16_t GetBE16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t GetBE24(const uint8_t* p)
{
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

inline uint32_t GetBE32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | GetBE24(p + 1);
}

inline void PutLE16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline uint16_t GetLE16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

} // namespace byteorder
