#pragma once

#include <fstream>
#include <ostream>
#include <sstream>

// Hands a finished report to its reader: the report file when the writer
// managed to open one, standard output otherwise. The collected text is taken
// out of `document` first, so the buffer is empty for the next report even
// when writing fails. Whatever the target stream throws reaches the caller,
// which logs it under its own name.
void EmitReport(std::ostringstream& document, std::ofstream& file, std::ostream& standardOutput);
