#include "LUMOSwitchMgmt.h"

LUMOSwitchMgmt::LUMOSwitchMgmt(const std::string& outputFileName)
    : m_strOutputFileName(outputFileName)
{
}

std::vector<CDeviceInfo*> LUMOSwitchMgmt::GetInventory()
{
    return {};
}

std::vector<CDeviceInfo*> LUMOSwitchMgmt::Update()
{
    return {};
}
