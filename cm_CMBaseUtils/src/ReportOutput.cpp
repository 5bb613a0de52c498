#include "ReportOutput.h"

#include <cerrno>
#include <cstring>
#include <string>

bool EmitReport(std::ostringstream& document, std::ofstream& file, std::ostream& standardOutput,
                std::string& error)
{
    const std::string text = document.str();
    document.str(std::string());
    document.clear();
    std::ostream& target = file.is_open() ? static_cast<std::ostream&>(file) : standardOutput;
    errno = 0;
    target << text;
    target.flush();
    if (target.good()) {
        return true;
    }
    const int cause = errno;
    error = cause != 0 ? std::strerror(cause) : "write error";
    // A later report to the same stream starts from a clean state.
    target.clear();
    return false;
}
