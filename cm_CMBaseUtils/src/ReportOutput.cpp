#include "ReportOutput.h"

#include <string>

void EmitReport(std::ostringstream& document, std::ofstream& file, std::ostream& standardOutput)
{
    const std::string text = document.str();
    document.str(std::string());
    document.clear();
    std::ostream& target = file.is_open() ? static_cast<std::ostream&>(file) : standardOutput;
    target << text;
    target.flush();
}
