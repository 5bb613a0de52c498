// The crash journal's file: what a crash mid-append leaves is told from
// damage, the records come back as written, and nothing in a place another
// user could have changed is read.
#include "ChangeJournal.h"
#include "FoundationTestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace foundationtest;

namespace
{

const std::vector<JournalRecord> kRecords = {
    journalrecord::Run(4242, 1700000000),
    journalrecord::RuleFile("/etc/udev/rules.d/98-secupdusb.rules", "# rule\n"),
    journalrecord::Module("ipmi_si"),
    journalrecord::Session(0x04d2),
    // A report named by the user: blanks, a newline, '%' and UTF-8 survive.
    journalrecord::ReportFile("/tmp/my report%\n\xc3\xa9/.r.xml.AbC123"),
    journalrecord::FlagSet(5),
};

std::string Journal(const std::vector<JournalRecord>& records)
{
    std::string text = EncodeJournalRecord({"lumoswitch-journal", {"1"}});
    for (const JournalRecord& record : records) {
        text += EncodeJournalRecord(record);
    }
    return text;
}

mode_t ModeOf(const std::string& path)
{
    struct stat info = {};
    EXPECT_EQ(0, lstat(path.c_str(), &info)) << path;
    return info.st_mode & 07777;
}

} // namespace

TEST(ChangeJournalText, RecordsReadBackAsWrittenAndAnyCutOfTheLastIsATornTail)
{
    const std::string whole = Journal(kRecords);
    JournalText text = ParseJournalText(whole);
    EXPECT_TRUE(text.isJournal);
    EXPECT_FALSE(text.tornTail);
    EXPECT_EQ(0u, text.damagedAtLine);
    EXPECT_EQ(kRecords, text.records);

    // A crash may stop the last append anywhere: every cut loses that record
    // alone, and is never taken for damage.
    const std::string before = Journal({kRecords.begin(), kRecords.end() - 1});
    for (size_t cut = before.size() + 1; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        text = ParseJournalText(whole.substr(0, cut));
        EXPECT_TRUE(text.isJournal);
        EXPECT_TRUE(text.tornTail);
        EXPECT_EQ(0u, text.damagedAtLine);
        EXPECT_EQ(std::vector<JournalRecord>(kRecords.begin(), kRecords.end() - 1), text.records);
    }
    // So may it stop the first line: a journal with nothing in it.
    const std::string header = Journal({});
    for (size_t cut = 0; cut < header.size(); ++cut) {
        text = ParseJournalText(header.substr(0, cut));
        EXPECT_TRUE(text.isJournal) << cut;
        EXPECT_TRUE(text.records.empty());
    }
}

TEST(ChangeJournalText, DamageStopsTheReadingThereAndGarbageIsNoJournal)
{
    const std::string whole = Journal(kRecords);
    // One byte changed in the third record (line 4): the records before it
    // stand, none after it is trusted, whether or not they check.
    std::string damaged = whole;
    size_t line4 = 0;
    for (int i = 0; i < 3; ++i) {
        line4 = damaged.find('\n', line4) + 1;
    }
    damaged[line4 + 20] ^= 0x01;
    JournalText text = ParseJournalText(damaged);
    EXPECT_TRUE(text.isJournal);
    EXPECT_EQ(4u, text.damagedAtLine);
    EXPECT_FALSE(text.tornTail);
    EXPECT_EQ(std::vector<JournalRecord>(kRecords.begin(), kRecords.begin() + 2), text.records);

    for (const std::string& garbage :
         {std::string("not a journal\nat all\n"), std::string("\0\0\0\0\n", 5),
          EncodeJournalRecord({"lumoswitch-journal", {"2"}}) + EncodeJournalRecord(kRecords[1]),
          whole.substr(1)}) {
        text = ParseJournalText(garbage);
        EXPECT_FALSE(text.isJournal) << garbage;
        EXPECT_TRUE(text.records.empty());
    }
}

TEST(ChangeJournalFile, MadeAtTheFirstRecordSyncedReadByTheNextRunAndRemovedAtTheEnd)
{
    TempDir dir;
    const std::string folder = dir.file("var/lib/lumoswitch");
    CChangeJournal journal(folder);
    std::string why;
    ASSERT_TRUE(journal.Begin({}, false, why)) << why;
    EXPECT_EQ(040700u, ModeOf(folder) | S_IFDIR);
    EXPECT_FALSE(exists(journal.path())) << "a run that changes nothing writes nothing";

    journal.Note(journalrecord::Module("ipmi_si"));
    journal.Note(journalrecord::Session(7));
    EXPECT_EQ(0600u, ModeOf(journal.path()));

    // What a run started now, after this one was killed, finds.
    CChangeJournal next(folder);
    JournalText text;
    ASSERT_EQ(CChangeJournal::ELeft::Read, next.ReadLeftBehind(text, why)) << why;
    ASSERT_EQ(3u, text.records.size());
    EXPECT_EQ("run", text.records[0].kind);
    EXPECT_EQ(std::to_string(getpid()), text.records[0].fields[0]);
    EXPECT_EQ(journalrecord::Module("ipmi_si"), text.records[1]);
    EXPECT_EQ(journalrecord::Session(7), text.records[2]);

    journal.Finish();
    EXPECT_FALSE(exists(journal.path()));
    EXPECT_EQ(CChangeJournal::ELeft::None, next.ReadLeftBehind(text, why));
}

TEST(ChangeJournalFile, SessionsLeftOpenAreCarriedUntilEndedUnderTheRunThatOpenedThem)
{
    TempDir dir;
    const std::string folder = dir.file("state");
    const std::vector<LeftSession> left = {{0x1234, 111, 1700000000}, {0x1235, 111, 1700000000}};
    CChangeJournal journal(folder);
    std::string why;
    ASSERT_TRUE(journal.Begin(left, false, why)) << why;
    EXPECT_TRUE(exists(journal.path())) << "listed at once: this run may be killed too";
    ASSERT_EQ(2u, journal.LeftSessions().size());

    journal.Note(journalrecord::LeftSessionGone(0x1234));
    ASSERT_EQ(1u, journal.LeftSessions().size());
    EXPECT_EQ(0x1235, journal.LeftSessions()[0].handle);
    journal.Finish();

    // An inventory run never reaches the controller: the session it could not
    // end is written back under the run that opened it.
    JournalText text;
    CChangeJournal next(folder);
    ASSERT_EQ(CChangeJournal::ELeft::Read, next.ReadLeftBehind(text, why)) << why;
    EXPECT_EQ((std::vector<JournalRecord>{journalrecord::Run(111, 1700000000),
                                          journalrecord::Session(0x1235)}),
              text.records);
}

TEST(ChangeJournalFile, NothingOthersCouldHaveChangedIsReadOrWrittenThrough)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give files away";
    }
    enum What {
        ForeignJournal,
        LinkedJournal,
        FifoJournal,
        GroupWritableFolder,
        ForeignFolder,
        LinkedFolder
    };
    const struct {
        const char* name;
        What what;
        CChangeJournal::ELeft expected;
    } cases[] = {
        {"journal of another user", ForeignJournal, CChangeJournal::ELeft::Untrusted},
        {"journal a symbolic link", LinkedJournal, CChangeJournal::ELeft::Untrusted},
        {"journal a FIFO", FifoJournal, CChangeJournal::ELeft::Untrusted},
        {"folder writable by the group", GroupWritableFolder,
         CChangeJournal::ELeft::UntrustedFolder},
        {"folder of another user", ForeignFolder, CChangeJournal::ELeft::UntrustedFolder},
        {"folder a symbolic link", LinkedFolder, CChangeJournal::ELeft::UntrustedFolder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string folder = dir.file("state");
        ASSERT_EQ(0, mkdir(dir.file("elsewhere").c_str(), 0700));
        const std::string victim = dir.file("elsewhere/victim");
        dir.write("elsewhere/victim", Journal(kRecords));
        if (c.what == LinkedFolder) {
            ASSERT_EQ(0, symlink(dir.file("elsewhere").c_str(), folder.c_str()));
        } else {
            ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
        }
        const std::string journalPath = folder + "/journal";
        switch (c.what) {
        case ForeignJournal:
            dir.write("state/journal", Journal(kRecords));
            ASSERT_EQ(0, chown(journalPath.c_str(), 65534, 65534));
            break;
        case LinkedJournal:
            ASSERT_EQ(0, symlink(victim.c_str(), journalPath.c_str()));
            break;
        case FifoJournal:
            ASSERT_EQ(0, mkfifo(journalPath.c_str(), 0600));
            break;
        case GroupWritableFolder:
            ASSERT_EQ(0, chmod(folder.c_str(), 0770));
            dir.write("state/journal", Journal(kRecords));
            break;
        case ForeignFolder:
            ASSERT_EQ(0, chown(folder.c_str(), 65534, 65534));
            dir.write("state/journal", Journal(kRecords));
            break;
        case LinkedFolder:
            break;
        }
        CChangeJournal journal(folder);
        JournalText text;
        std::string why;
        EXPECT_EQ(c.expected, journal.ReadLeftBehind(text, why));
        EXPECT_FALSE(why.empty());
        EXPECT_TRUE(text.records.empty());
        EXPECT_FALSE(journal.Begin({}, false, why)) << "no journal is kept there";
        journal.Note(journalrecord::Module("ipmi_si"));
        EXPECT_EQ(Journal(kRecords), readFile(victim));
        struct stat info = {};
        if (c.what != LinkedFolder) {
            EXPECT_EQ(0, lstat(journalPath.c_str(), &info)) << "left where it was";
        }
    }
}
