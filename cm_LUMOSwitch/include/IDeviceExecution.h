#pragma once

#include <vector>

class CDeviceInfo;

// A device manager's update pass.
class IDeviceExecution
{
public:
    virtual ~IDeviceExecution() = default;
    // The devices that went through the update, with their result fields.
    virtual std::vector<CDeviceInfo*> Update() = 0;
};
