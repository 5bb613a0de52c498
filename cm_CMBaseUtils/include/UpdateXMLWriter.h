#pragma once

#include "DeviceXMLWriter.h"
#include "ReportOutput.h"

#include <iostream>
#include <sstream>
#include <string>

// The update result report (SVMExecution), one line of XML. The file named
// to GetXML gets it once it is complete (see CReportFile).
class CUpdateXMLWriter : public IDeviceXMLWriter
{
public:
    // `standardOutput` receives the report when no file is open.
    explicit CUpdateXMLWriter(std::ostream& standardOutput = std::cout);
    ~CUpdateXMLWriter() override;

    CUpdateXMLWriter(const CUpdateXMLWriter&) = delete;
    CUpdateXMLWriter& operator=(const CUpdateXMLWriter&) = delete;

    // True when the report was written whole; throws CReportWriteError when
    // its target did not take every byte.
    bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFile) override;

    // What the report says when it lists no switch; "Device not found" unless
    // the caller knows better (a storage library that was refused).
    void setNoDeviceMessage(const std::string& message) { m_strNoDeviceMessage = message; }

    void addXMLHeader();
    void addUpdateHeader();
    void addUpdateFooter();
    // Appends the reboot element when `rebootRequired`, nothing otherwise.
    void addRebootRequiredStatus(bool rebootRequired);
    // Emits the collected text and empties the buffer; false when the target
    // did not take all of it (the reason is kept for GetXML).
    bool print();

private:
    std::ostringstream m_ossDocument;
    CReportFile m_reportFile;
    std::ostream& m_standardOutput;
    std::string m_writeError;
    std::string m_strNoDeviceMessage = "Device not found";
};
