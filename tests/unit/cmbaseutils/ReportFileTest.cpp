// Where a report file may be asked for in a folder other users write to: a
// name never followed, a report that appears whole or not at all, and the
// targets that cannot be renamed over.
#include "PackageTestSupport.h"
#include "ReportOutput.h"
#include "UpdateXMLWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

using namespace pkgtest;

namespace
{

std::set<std::string> Entries(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

// Notes what the report writer journals, and whether each temporary file
// it names was already there when noted.
class NotingJournal : public IChangeJournal
{
public:
    void Note(const JournalRecord& record) override
    {
        notes.push_back(DescribeJournalRecord(record));
        if (record.kind == "report" && ::access(record.fields.at(0).c_str(), F_OK) == 0) {
            madeBeforeNoted = true;
        }
    }
    std::vector<LeftSession> LeftSessions() override { return {}; }
    std::vector<std::string> notes;
    bool madeBeforeNoted = false;
};

} // namespace

TEST(ReportFile, SymbolicLinkAtTheNameIsNeverFollowed)
{
    ScopedTempWorkDir dir;
    dir.write("victim", "root's data");
    for (const char* target : {"victim", "nowhere"}) {
        SCOPED_TRACE(target);
        std::filesystem::remove(dir.path() + "/report.xml");
        ASSERT_EQ(0, symlink(target, "report.xml"));
        CReportFile file;
        EXPECT_FALSE(file.open("report.xml"));
        // The writer treats it as a file it cannot open: standard output.
        std::ostringstream out;
        {
            CUpdateXMLWriter writer(out);
            EXPECT_TRUE(writer.GetXML({}, "report.xml"));
        }
        EXPECT_NE(std::string::npos, out.str().find("<SVMExecution"));
        EXPECT_EQ("root's data", readFile(dir.path() + "/victim"));
        EXPECT_FALSE(std::filesystem::exists(dir.path() + "/nowhere"));
        EXPECT_EQ((std::set<std::string>{"victim", "report.xml"}), Entries(dir.path()));
    }
}

TEST(ReportFile, OldReportStaysWholeUntilTheNewOneIsComplete)
{
    ScopedTempWorkDir dir;
    dir.write("report.xml", "old report");
    ASSERT_EQ(0, chmod((dir.path() + "/report.xml").c_str(), 0640));
    std::string error;
    {
        CReportFile file;
        ASSERT_TRUE(file.open("report.xml"));
        ASSERT_TRUE(file.write("new ", error));
        EXPECT_EQ("old report", readFile(dir.path() + "/report.xml"));
        ASSERT_TRUE(file.write("report", error));
        EXPECT_EQ("old report", readFile(dir.path() + "/report.xml"));
        ASSERT_TRUE(file.commit(error)) << error;
    }
    EXPECT_EQ("new report", readFile(dir.path() + "/report.xml"));
    EXPECT_EQ((std::set<std::string>{"report.xml"}), Entries(dir.path()));
    struct stat info;
    ASSERT_EQ(0, stat((dir.path() + "/report.xml").c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 0777) << "an existing report keeps its mode";

    // Abandoned before it was complete: the old report, and nothing else.
    {
        CReportFile file;
        ASSERT_TRUE(file.open("report.xml"));
        ASSERT_TRUE(file.write("cut", error));
    }
    EXPECT_EQ("new report", readFile(dir.path() + "/report.xml"));
    EXPECT_EQ((std::set<std::string>{"report.xml"}), Entries(dir.path()));
}

TEST(ReportFile, HardLinkAtTheNameIsReplacedNotWrittenThrough)
{
    ScopedTempWorkDir dir;
    dir.write("elsewhere", "someone's file");
    ASSERT_EQ(0, link("elsewhere", "report.xml"));
    std::string error;
    CReportFile file;
    ASSERT_TRUE(file.open("report.xml"));
    ASSERT_TRUE(file.write("report", error));
    ASSERT_TRUE(file.commit(error));
    EXPECT_EQ("report", readFile(dir.path() + "/report.xml"));
    EXPECT_EQ("someone's file", readFile(dir.path() + "/elsewhere"));
}

TEST(ReportFile, TemporaryNamesAreFreshEachTimeAndHiddenBesideTheTarget)
{
    ScopedTempWorkDir dir;
    std::set<std::string> seen;
    for (int i = 0; i < 5; ++i) {
        CReportFile file;
        ASSERT_TRUE(file.open("report.xml"));
        for (const std::string& name : Entries(dir.path())) {
            EXPECT_EQ(0u, name.rfind(".report.xml.", 0)) << name;
            EXPECT_EQ(std::string(".report.xml.").size() + 6, name.size()) << name;
            seen.insert(name);
        }
    }
    EXPECT_EQ(5u, seen.size());
    EXPECT_TRUE(Entries(dir.path()).empty());
}

TEST(ReportFile, TargetsThatCannotBeRenamedOverAreWrittenInPlace)
{
    std::string error;
    {
        CReportFile file;
        ASSERT_TRUE(file.open("/dev/null"));
        EXPECT_TRUE(file.write("report", error));
        EXPECT_TRUE(file.commit(error)) << error;
    }
    {
        CReportFile file;
        ASSERT_TRUE(file.open("/dev/full"));
        EXPECT_FALSE(file.write("report", error));
        EXPECT_EQ("No space left on device", error);
    }
    ScopedTempWorkDir dir;
    CReportFile file;
    EXPECT_FALSE(file.open(dir.path())) << "a folder is no report file";
    EXPECT_FALSE(file.open(dir.path() + "/missing/report.xml"));
    EXPECT_TRUE(Entries(dir.path()).empty());
}

// The next run reaches the temporary file of a killed run's report from the
// root and through no link (it refuses links, which another user could have
// put on the way), so it is noted by that path, before it is made.
TEST(ReportFile, TemporaryFileIsJournaledBeforeItIsMadeByAPathWithoutLinks)
{
    ScopedTempWorkDir dir;
    ASSERT_EQ(0, mkdir((dir.path() + "/real").c_str(), 0755));
    ASSERT_EQ(0, symlink("real", "via"));
    char* resolved = ::realpath((dir.path() + "/real").c_str(), nullptr);
    ASSERT_NE(nullptr, resolved);
    const std::string real(resolved);
    std::free(resolved);

    auto journal = std::make_shared<NotingJournal>();
    CReportFile file(journal);
    ASSERT_TRUE(file.open("via/report.xml"));
    ASSERT_EQ(1u, journal->notes.size());
    const std::string noted = journal->notes[0].substr(std::string("report ").size());
    EXPECT_EQ(real + "/.report.xml.", noted.substr(0, real.size() + 13));
    EXPECT_FALSE(journal->madeBeforeNoted);
    EXPECT_TRUE(std::filesystem::exists(noted));

    std::string error;
    ASSERT_TRUE(file.write("<report/>", error)) << error;
    ASSERT_TRUE(file.commit(error)) << error;
    EXPECT_EQ((std::vector<std::string>{"report " + noted, "report-gone " + noted}),
              journal->notes);
    EXPECT_EQ("<report/>", readFile(real + "/report.xml"));
}

// A FIFO at the report's name: root's own, with a reader, takes the report
// as before; one without a reader, or another user's, is a target that
// cannot be opened (the report then goes to standard output), and the open
// never waits for a reader.
TEST(ReportFile, FifoTakesTheReportOnlyWhenRootsAndRead)
{
    const struct {
        const char* name;
        bool reader;
        uid_t owner;
        bool opens;
    } cases[] = {
        {"root's, read", true, 0, true},
        {"root's, nobody reading", false, 0, false},
        {"another user's, read", true, 65534, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.owner != 0 && geteuid() != 0) {
            continue; // only root can hand a FIFO to another user
        }
        ScopedTempWorkDir dir;
        const std::string fifo = dir.path() + "/report.xml";
        ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
        ASSERT_EQ(0, chown(fifo.c_str(), c.owner, c.owner));
        const int reader = c.reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        // A blocking open would wait here for good: the alarm ends the test.
        alarm(20);
        CReportFile file;
        EXPECT_EQ(c.opens, file.open(fifo));
        alarm(0);
        std::string error;
        if (c.opens) {
            EXPECT_TRUE(file.write("report", error)) << error;
            EXPECT_TRUE(file.commit(error)) << error;
        }
        if (reader >= 0) {
            char got[16] = {};
            const ssize_t n = read(reader, got, sizeof(got));
            EXPECT_EQ(c.opens ? "report" : "", std::string(got, n > 0 ? size_t(n) : 0));
            close(reader);
        }
        EXPECT_EQ(std::set<std::string>{"report.xml"}, Entries(dir.path()));
    }
}
