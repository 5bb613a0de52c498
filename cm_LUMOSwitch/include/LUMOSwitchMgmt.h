#pragma once

#include <string>
#include <vector>

class CDeviceInfo;

// Device manager: one inventory or update pass per instance.
// Placeholder until the passes are implemented.
class LUMOSwitchMgmt
{
public:
    explicit LUMOSwitchMgmt(const std::string& outputFileName);
    virtual ~LUMOSwitchMgmt() = default;

    std::vector<CDeviceInfo*> GetInventory();
    std::vector<CDeviceInfo*> Update();

private:
    std::string m_strOutputFileName;
};
