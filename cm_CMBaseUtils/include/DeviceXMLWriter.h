#pragma once

#include "DeviceInfo.h"

#include <string>
#include <vector>

// A report writer: turns the device records of one run into a report and
// writes it to the named file, or to standard output when the name is empty
// or the file cannot be opened. Writers are deleted through this interface.
class IDeviceXMLWriter
{
public:
    virtual ~IDeviceXMLWriter() = default;
    virtual bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFile) = 0;
};
