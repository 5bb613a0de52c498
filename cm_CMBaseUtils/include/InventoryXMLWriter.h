#pragma once

#include "DeviceXMLWriter.h"

#include <fstream>
#include <iostream>
#include <sstream>

// The inventory report (SVMInventory), one line of XML. The file named to
// GetXML stays open until the writer is destroyed.
class CInventoryXMLWriter : public IDeviceXMLWriter
{
public:
    // `standardOutput` receives the report when no file is open.
    explicit CInventoryXMLWriter(std::ostream& standardOutput = std::cout);
    ~CInventoryXMLWriter() override;

    CInventoryXMLWriter(const CInventoryXMLWriter&) = delete;
    CInventoryXMLWriter& operator=(const CInventoryXMLWriter&) = delete;

    // Always true.
    bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFile) override;

    void addXMLHeader();
    void addInventoryHeader();
    void addInventoryFooter();
    // Emits the collected text and empties the buffer.
    void print();

private:
    std::ostringstream m_ossDocument;
    std::ofstream m_ofsOutputFile;
    std::ostream& m_standardOutput;
};
