// The part of report writing both writers share: what each one's debug log
// says while its report goes out, under its own name, whichever way that ends.
#include "InventoryXMLWriter.h"
#include "Logger.h"
#include "PackageTestSupport.h"
#include "UpdateXMLWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <sstream>
#include <streambuf>

using namespace pkgtest;

namespace
{

// A target that takes no byte, as a closed terminal would.
class RefusingBuffer : public std::streambuf
{
protected:
    int overflow(int) override { return EOF; }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

enum class Target { File, RefusingStream, ThrowingStream };

struct PrintCase {
    const char* name;
    bool inventory; // else the update report
    Target target;
    std::vector<std::string> lines; // in this order, each under the writer's source name
};

// The debug log of one report written to `target`, and whether it was whole.
std::string LogOfOneReport(bool inventory, Target target, bool& written)
{
    ScopedTempWorkDir dir;
    CLogger::ResetForTesting();
    CLogger::GetInstance()->Initialize(dir.path() + "/debug.log");
    RefusingBuffer refusing;
    std::ostream out(&refusing);
    if (target == Target::ThrowingStream) {
        out.exceptions(std::ios::badbit);
    }
    std::vector<CDeviceInfo> records = {makeSwitch("1", "a", "", "1", "n")};
    std::vector<CDeviceInfo*> devices = {&records[0]};
    const std::string file = target == Target::File ? "report.xml" : "";
    written = true;
    try {
        if (inventory) {
            CInventoryXMLWriter(out).GetXML(devices, file);
        } else {
            CUpdateXMLWriter(out).GetXML(devices, file);
        }
    } catch (const CReportWriteError&) {
        written = false;
    }
    CLogger::ResetForTesting();
    return readFile(dir.path() + "/debug.log");
}

} // namespace

TEST(ReportWriting, EachWriterLogsTheHandOverUnderItsOwnName)
{
    const PrintCase cases[] = {
        {"inventory to a file",
         true,
         Target::File,
         {"CInventoryXMLWriter::print() start",
          "CInventoryXMLWriter::print() copying the contents to Inventory XML file",
          "CInventoryXMLWriter::print() end", "CInventoryXMLWriter::GetXML() end"}},
        {"update to a file",
         false,
         Target::File,
         {"CUpdateXMLWriter::print() start",
          "CUpdateXMLWriter::print() copying the contents to Update XML file",
          "CUpdateXMLWriter::print() end", "CUpdateXMLWriter::GetXML() end"}},
        {"inventory to a stream that takes nothing",
         true,
         Target::RefusingStream,
         {"CInventoryXMLWriter::print() start",
          "CInventoryXMLWriter::print() report not written completely: write error",
          "CInventoryXMLWriter::print() end"}},
        {"update to a stream that takes nothing",
         false,
         Target::RefusingStream,
         {"CUpdateXMLWriter::print() start",
          "CUpdateXMLWriter::print() report not written completely: write error",
          "CUpdateXMLWriter::print() end"}},
        // The inventory writer has always named GetXML in this line.
        {"inventory to a stream that throws",
         true,
         Target::ThrowingStream,
         {"CInventoryXMLWriter::print() start",
          "CInventoryXMLWriter::GetXML() exception caught during file is_open function ",
          "CInventoryXMLWriter::print() end"}},
        {"update to a stream that throws",
         false,
         Target::ThrowingStream,
         {"CUpdateXMLWriter::print() start",
          "CUpdateXMLWriter::print() exception caught during file is_open function ",
          "CUpdateXMLWriter::print() end"}},
    };
    for (const PrintCase& c : cases) {
        SCOPED_TRACE(c.name);
        bool written = false;
        const std::string log = LogOfOneReport(c.inventory, c.target, written);
        EXPECT_EQ(c.target == Target::File, written);
        const std::string source = c.inventory ? " InventoryXMLWriter:" : " UpdateXMLWriter:";
        size_t from = 0;
        for (const std::string& text : c.lines) {
            const size_t at = log.find(": " + text, from);
            ASSERT_NE(std::string::npos, at) << text << "\n" << log;
            const size_t lineStart = log.rfind('\n', at) + 1; // npos + 1 is 0
            EXPECT_NE(std::string::npos, log.substr(lineStart, at - lineStart).find(source))
                << text;
            from = at + 1;
        }
        EXPECT_EQ(c.target != Target::File, log.find("GetXML() end") == std::string::npos);
    }
}
