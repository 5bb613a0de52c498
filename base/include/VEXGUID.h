#pragma once

#include <cstdint>

class VEXGUID
{
public:
    VEXGUID() = default;
    VEXGUID(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t (&data4)[8]);

    bool operator==(const VEXGUID& other) const;
    bool operator!=(const VEXGUID& other) const { return !(*this == other); }

    uint32_t m_Data1 = 0;
    uint16_t m_Data2 = 0;
    uint16_t m_Data3 = 0;
    uint8_t m_Data4[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};
