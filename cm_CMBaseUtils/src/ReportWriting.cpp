#include "ReportWriting.h"

#include <exception>

#include "Logger.h"

bool PrintReport(const SReportLogNames& names, unsigned int line, std::ostringstream& document,
                 CReportFile& file, std::ostream& standardOutput, std::string& writeError)
{
    CLogger* logger = CLogger::GetInstance();
    const std::string writer = names.writer;
    logger->log(names.source, line, writer + "::print() start");
    bool written = true;
    try {
        if (file.isOpen()) {
            logger->log(names.source, line,
                        writer + "::print() copying the contents to " + names.fileKind);
        }
        if (!EmitReport(document, file, standardOutput, writeError)) {
            logger->log(names.source, line,
                        writer + "::print() report not written completely: " + writeError);
            written = false;
        }
    } catch (const std::exception& e) {
        logger->log(names.source, line,
                    writer + "::" + names.caughtIn +
                        "() exception caught during file is_open function " + e.what());
        writeError = e.what();
        written = false;
    }
    logger->log(names.source, line, writer + "::print() end");
    return written;
}

void PrintReportOrThrow(const SReportLogNames& names, unsigned int line,
                        std::ostringstream& document, CReportFile& file,
                        std::ostream& standardOutput, const std::string& outputFile,
                        std::string& writeError)
{
    const std::string target = file.isOpen() ? outputFile : "standard output";
    if (!PrintReport(names, line, document, file, standardOutput, writeError)) {
        throw CReportWriteError("the report could not be written completely to " + target + ": " +
                                writeError);
    }
}
