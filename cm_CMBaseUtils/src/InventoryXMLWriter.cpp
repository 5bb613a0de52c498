#include "InventoryXMLWriter.h"

#include "DeviceElement.h"

#include "Logger.h"
#include "ReportOutput.h"
#include "ReportWriting.h"
#include "XMLText.h"

#include <exception>

static const char kSrc[] = "cm_CMBaseUtils/src/InventoryXMLWriter";
static const SReportLogNames kLogNames = {kSrc, "CInventoryXMLWriter", "Inventory XML file",
                                          "GetXML"};

CInventoryXMLWriter::CInventoryXMLWriter(std::ostream& standardOutput)
    : m_standardOutput(standardOutput)
{
    CLogger::GetInstance()->log(kSrc, __LINE__, "CInventoryXMLWriter::CInventoryXMLWriter() start");
    CLogger::GetInstance()->log(kSrc, __LINE__, "CInventoryXMLWriter::CInventoryXMLWriter() end");
}

CInventoryXMLWriter::~CInventoryXMLWriter()
{
    CLogger::GetInstance()->log(kSrc, __LINE__,
                                "CInventoryXMLWriter::~CInventoryXMLWriter() start");
    CLogger::GetInstance()->log(kSrc, __LINE__, "CInventoryXMLWriter::~CInventoryXMLWriter() end");
}

void CInventoryXMLWriter::addXMLHeader()
{
    CLogger::GetInstance()->log(kSrc, __LINE__, "CInventoryXMLWriter::addXMLHeader() start");
    m_ossDocument << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    CLogger::GetInstance()->log(kSrc, __LINE__, "CInventoryXMLWriter::addXMLHeader() end");
}

void CInventoryXMLWriter::addInventoryHeader()
{
    CLogger::GetInstance()->log(kSrc, __LINE__, "CInventoryXMLWriter::addInventoryHeader() start");
    m_ossDocument << "<SVMInventory lang=\"en\">";
    CLogger::GetInstance()->log(kSrc, __LINE__, "CInventoryXMLWriter::addInventoryHeader() end");
}

void CInventoryXMLWriter::addInventoryFooter()
{
    CLogger::GetInstance()->log(kSrc, __LINE__, "CInventoryXMLWriter::addInventoryFooter() start");
    m_ossDocument << "</SVMInventory>";
    CLogger::GetInstance()->log(kSrc, __LINE__, "CInventoryXMLWriter::addInventoryFooter() end");
}

bool CInventoryXMLWriter::GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFile)
{
    CLogger* logger = CLogger::GetInstance();
    logger->log(kSrc, __LINE__, "CInventoryXMLWriter::GetXML() start");
    if (!outputFile.empty()) {
        try {
            m_reportFile.open(outputFile);
        } catch (const std::exception& e) {
            logger->log(kSrc, __LINE__,
                        std::string("CInventoryXMLWriter::GetXML() exception caught during file "
                                    "opening ") +
                            e.what());
        }
        logger->log(kSrc, __LINE__, "CInventoryXMLWriter::GetXML() udpate xml file opened");
    }

    addXMLHeader();
    addInventoryHeader();
    for (const CDeviceInfo* device : devices) {
        if (device == nullptr) {
            continue;
        }
        const int type = device->getDeviceType();
        const int status = device->getStatus();
        if (type == eDeviceTypeComponentID && status == 0) {
            logger->log(kSrc, __LINE__, "CInventoryXMLWriter::GetXML() Found one Non PCI Device");
            AppendDeviceElement(m_ossDocument, *device, EDeviceReport::Inventory, true);
        } else if (type == eDeviceTypePCI && status == 0) {
            logger->log(kSrc, __LINE__, "CInventoryXMLWriter::GetXML() Found one PCI Device");
            AppendDeviceElement(m_ossDocument, *device, EDeviceReport::Inventory, true);
        } else if (status != 0) {
            logger->log(kSrc, __LINE__,
                        "CInventoryXMLWriter::GetXML() Update failed for one Device");
            m_ossDocument << "<SPStatus result =\"false\" >"
                          << "<Message id=\"" << device->getMessageID() << "\" >"
                          << XMLEscapeValue(device->getErrorMsg()) << "</Message></SPStatus>";
        }
    }
    addInventoryFooter();
    PrintReportOrThrow(kLogNames, __LINE__, m_ossDocument, m_reportFile, m_standardOutput,
                       outputFile, m_writeError);
    logger->log(kSrc, __LINE__, "CInventoryXMLWriter::GetXML() end");
    return true;
}

bool CInventoryXMLWriter::print()
{
    return PrintReport(kLogNames, __LINE__, m_ossDocument, m_reportFile, m_standardOutput,
                       m_writeError);
}
