#include "UpdateXMLWriter.h"

#include "DeviceElement.h"

#include "Logger.h"
#include "ReportOutput.h"
#include "ReportWriting.h"
#include "XMLText.h"

#include <exception>

static const char kSrc[] = "cm_CMBaseUtils/src/UpdateXMLWriter";
static const SReportLogNames kLogNames = {kSrc, "CUpdateXMLWriter", "Update XML file", "print"};

CUpdateXMLWriter::CUpdateXMLWriter(std::ostream& standardOutput) : m_standardOutput(standardOutput)
{
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::CUpdateXMLWriter() start");
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::CUpdateXMLWriter() end");
}

CUpdateXMLWriter::~CUpdateXMLWriter()
{
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::~CUpdateXMLWriter() start");
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::~CUpdateXMLWriter() end");
}

void CUpdateXMLWriter::addXMLHeader()
{
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::addXMLHeader() start");
    m_ossDocument << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::addXMLHeader() end");
}

void CUpdateXMLWriter::addUpdateHeader()
{
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::addUpdateHeader() start");
    m_ossDocument << "<SVMExecution lang=\"en\">";
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::addUpdateHeader() end");
}

void CUpdateXMLWriter::addUpdateFooter()
{
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::addUpdateFooter() start");
    m_ossDocument << "</SVMExecution>";
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::addUpdateFooter() end");
}

void CUpdateXMLWriter::addRebootRequiredStatus(bool rebootRequired)
{
    CLogger::GetInstance()->log(kSrc, __LINE__,
                                "CUpdateXMLWriter::addRebootRequiredStatus() start");
    if (rebootRequired) {
        m_ossDocument << "<RebootRequired>1</RebootRequired>";
    }
    CLogger::GetInstance()->log(kSrc, __LINE__, "CUpdateXMLWriter::addRebootRequiredStatus() end");
}

bool CUpdateXMLWriter::GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFile)
{
    CLogger* logger = CLogger::GetInstance();
    logger->log(kSrc, __LINE__, "CUpdateXMLWriter::GetXML() start");
    if (!outputFile.empty()) {
        m_reportFile.open(outputFile);
        logger->log(kSrc, __LINE__, "CUpdateXMLWriter::GetXML() udpate xml file opened");
    }

    addXMLHeader();
    addUpdateHeader();
    bool rebootRequired = false;
    if (devices.empty()) {
        m_ossDocument << "<SPStatus result = \"false\" >"
                      << "<Message id=\"" << 1 << "\" >"
                      << XMLEscapeValue(m_strNoDeviceMessage)
                      << "</Message></SPStatus>";
    }
    for (const CDeviceInfo* device : devices) {
        if (device == nullptr) {
            continue;
        }
        const int type = device->getDeviceType();
        const int status = device->getStatus();
        if (type == eDeviceTypeComponentID && status == 0) {
            logger->log(kSrc, __LINE__, "CUpdateXMLWriter::GetXML() Found one Non PCI Device");
            if (device->getRebootRequired()) {
                rebootRequired = true;
            }
            AppendDeviceElement(m_ossDocument, *device, EDeviceReport::Update, true);
        } else if (type == eDeviceTypePCI && status == 0) {
            logger->log(kSrc, __LINE__, "CUpdateXMLWriter::GetXML() Found one PCI Device");
            if (device->getRebootRequired()) {
                rebootRequired = true;
            }
            AppendDeviceElement(m_ossDocument, *device, EDeviceReport::Update, true);
        } else if (status != 0) {
            logger->log(kSrc, __LINE__, "CUpdateXMLWriter::GetXML() Update failed for one Device");
            if (type == eDeviceTypePCI) {
                AppendDeviceElement(m_ossDocument, *device, EDeviceReport::Update, false);
            } else {
                m_ossDocument << "<SPStatus result = \"false\" >"
                              << "<Message id=\"" << device->getMessageID() << "\" >"
                              << XMLEscapeValue(device->getErrorMsg()) << "</Message></SPStatus>";
            }
        }
    }
    addRebootRequiredStatus(rebootRequired);
    addUpdateFooter();
    PrintReportOrThrow(kLogNames, __LINE__, m_ossDocument, m_reportFile, m_standardOutput,
                       outputFile, m_writeError);
    logger->log(kSrc, __LINE__, "CUpdateXMLWriter::GetXML() end");
    return true;
}

bool CUpdateXMLWriter::print()
{
    return PrintReport(kLogNames, __LINE__, m_ossDocument, m_reportFile, m_standardOutput,
                       m_writeError);
}
