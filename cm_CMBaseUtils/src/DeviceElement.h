#pragma once

#include <ostream>

#include "DeviceInfo.h"

// The Device element of a switch that answered, as both reports write it. The
// two reports differ only where their readers have always seen them differ:
// the inventory's Application element is empty (and its PCI form has doubled
// spaces), the update's carries the switch's status and message.
enum class EDeviceReport { Inventory, Update };

void AppendDeviceElement(std::ostream& out, const CDeviceInfo& device, EDeviceReport report,
                         bool success);
