#pragma once

#include <ostream>
#include <sstream>
#include <string>

#include "ReportOutput.h"

// The part both report writers share: handing the finished text to its
// target, with the log lines each writer has always written. The lines carry
// the writer's own source name and the line of its call, so the debug log
// reads as it did when each writer did this itself.
struct SReportLogNames {
    const char* source;   // the writer's source name in the log
    const char* writer;   // its class, the prefix of each line
    const char* fileKind; // "Inventory XML file", "Update XML file"
    const char* caughtIn; // the function the line of a caught exception names
};

// Emits `document` to `file` when it is open, else to `standardOutput`; false,
// with the reason in `writeError`, when the target did not take all of it or
// threw.
bool PrintReport(const SReportLogNames& names, unsigned int line, std::ostringstream& document,
                 CReportFile& file, std::ostream& standardOutput, std::string& writeError);

// PrintReport, then CReportWriteError naming the target (`outputFile`, or
// standard output) when the report was not written whole.
void PrintReportOrThrow(const SReportLogNames& names, unsigned int line,
                        std::ostringstream& document, CReportFile& file,
                        std::ostream& standardOutput, const std::string& outputFile,
                        std::string& writeError);
