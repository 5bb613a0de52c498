// A report that does not reach its reader whole is a failure the writers
// raise, never a silent success: a full device behind the report file, and a
// standard output that refuses the bytes.
#include "InventoryXMLWriter.h"
#include "PackageTestSupport.h"
#include "ReportOutput.h"
#include "UpdateXMLWriter.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>

using namespace pkgtest;

namespace
{

// A standard output whose every write fails, as a closed pipe or a full disk.
class RefusingBuffer : public std::streambuf
{
protected:
    int overflow(int) override { return traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

struct WriterCase {
    const char* name;
    std::function<std::unique_ptr<IDeviceXMLWriter>(std::ostream&)> make;
};

const WriterCase kWriters[] = {
    {"inventory", [](std::ostream& out) { return std::make_unique<CInventoryXMLWriter>(out); }},
    {"update", [](std::ostream& out) { return std::make_unique<CUpdateXMLWriter>(out); }},
};

} // namespace

TEST(ReportWriteFailure, FullDeviceAndRefusingStandardOutputAreRaisedWithTheirCause)
{
    std::vector<CDeviceInfo> records = {makeSwitch("0ABC", "Disp", "", "1.2", "Name")};
    std::vector<CDeviceInfo*> devices = {&records[0]};
    for (const WriterCase& w : kWriters) {
        SCOPED_TRACE(w.name);
        {
            std::ostringstream out;
            auto writer = w.make(out);
            try {
                writer->GetXML(devices, "/dev/full");
                ADD_FAILURE() << "a report into /dev/full passed as written";
            } catch (const CReportWriteError& e) {
                EXPECT_EQ(std::string("the report could not be written completely to /dev/full: ") +
                              "No space left on device",
                          e.what());
            }
            EXPECT_EQ("", out.str()) << "the file was open: nothing goes to standard output";
        }
        {
            RefusingBuffer refusing;
            std::ostream out(&refusing);
            auto writer = w.make(out);
            EXPECT_THROW(writer->GetXML(devices, ""), CReportWriteError);
        }
    }
}

TEST(ReportWriteFailure, WholeReportsStillPass)
{
    ScopedTempWorkDir dir;
    for (const WriterCase& w : kWriters) {
        SCOPED_TRACE(w.name);
        std::ostringstream out;
        auto writer = w.make(out);
        EXPECT_TRUE(writer->GetXML({}, ""));
        EXPECT_TRUE(writer->GetXML({}, "report.xml"));
        EXPECT_FALSE(out.str().empty());
        EXPECT_FALSE(readFile(dir.path() + "/report.xml").empty());
    }
}
