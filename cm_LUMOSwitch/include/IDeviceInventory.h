#pragma once

#include <vector>

class CDeviceInfo;

// A device manager's inventory pass.
class IDeviceInventory
{
public:
    virtual ~IDeviceInventory() = default;
    // The devices found; the caller owns the vector, the records are never freed.
    virtual std::vector<CDeviceInfo*> GetInventory() = 0;
};
