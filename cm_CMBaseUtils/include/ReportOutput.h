#pragma once

#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>

// A report that did not reach its reader whole. The writers throw it after
// the attempt, so the run ends with a failure status instead of leaving a
// cut report behind a success.
class CReportWriteError : public std::runtime_error
{
public:
    explicit CReportWriteError(const std::string& what) : std::runtime_error(what) {}
};

// Hands a finished report to its reader: the report file when the writer
// managed to open one, standard output otherwise. The collected text is taken
// out of `document` first, so the buffer is empty for the next report even
// when writing fails. Returns false, with the reason in `error`, when the
// target did not take every byte; whatever the target stream throws reaches
// the caller, which logs it under its own name.
bool EmitReport(std::ostringstream& document, std::ofstream& file, std::ostream& standardOutput,
                std::string& error);
