#pragma once

#include "DeviceXMLWriter.h"
#include "ReportOutput.h"

#include <iostream>
#include <sstream>
#include <string>

// The inventory report (SVMInventory), one line of XML. The file named to
// GetXML gets it once it is complete (see CReportFile).
class CInventoryXMLWriter : public IDeviceXMLWriter
{
public:
    // `standardOutput` receives the report when no file is open.
    explicit CInventoryXMLWriter(std::ostream& standardOutput = std::cout);
    ~CInventoryXMLWriter() override;

    CInventoryXMLWriter(const CInventoryXMLWriter&) = delete;
    CInventoryXMLWriter& operator=(const CInventoryXMLWriter&) = delete;

    // True when the report was written whole; throws CReportWriteError when
    // its target did not take every byte.
    bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFile) override;

    void addXMLHeader();
    void addInventoryHeader();
    void addInventoryFooter();
    // Emits the collected text and empties the buffer; false when the target
    // did not take all of it (the reason is kept for GetXML).
    bool print();

private:
    std::ostringstream m_ossDocument;
    CReportFile m_reportFile;
    std::ostream& m_standardOutput;
    std::string m_writeError;
};
