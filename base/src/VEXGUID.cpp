#include "VEXGUID.h"

VEXGUID::VEXGUID(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t (&data4)[8])
    : m_Data1(data1), m_Data2(data2), m_Data3(data3)
{
    for (int i = 0; i < 8; ++i) {
        m_Data4[i] = data4[i];
    }
}

bool VEXGUID::operator==(const VEXGUID& other) const
{
    if (m_Data1 != other.m_Data1 || m_Data2 != other.m_Data2 || m_Data3 != other.m_Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (m_Data4[i] != other.m_Data4[i]) {
            return false;
        }
    }
    return true;
}
