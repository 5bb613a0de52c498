// What the access layer tells the crash journal: each lasting change before
// it is made and once it is undone, and the sessions killed runs left open,
// ended by their handles before its own is asked for.
#include "ScalTestFixture.h"
#include "Sha256.h"

#include <algorithm>

namespace scaltest
{
namespace
{

class FakeJournal : public IChangeJournal
{
public:
    void Note(const JournalRecord& record) override
    {
        notes.push_back(DescribeJournalRecord(record));
        if (onNote) {
            onNote();
        }
    }
    std::function<void()> onNote;
    std::vector<LeftSession> LeftSessions() override { return left; }
    std::vector<std::string> notes;
    std::vector<LeftSession> left;
};

class JournalTest : public ScalTest
{
protected:
    void SetUp() override
    {
        ScalTest::SetUp();
        UseSimulatedController("generation 30\nrepository 00\naccess enabled\nhandle 002a\n",
                               false);
    }
    ScalSeams JournalSeams()
    {
        ScalSeams seams = Seams();
        seams.journal = Borrow(journal);
        return seams;
    }
    FakeJournal journal;
};

TEST_F(JournalTest, EachLastingChangeIsNotedBeforeItIsMadeAndOnceItIsUndone)
{
    const std::string rule1 = "/etc/udev/rules.d/98-secupdusb.rules";
    const std::string rule2 = "/etc/udev/rules.d/00-secupd-vantor.rules";
    std::vector<std::string> beforeFlag;
    EXPECT_EQ(-1, ConstructWrapperWith(JournalSeams(), [&](UpdRollbackWrapper& wrapper) {
        // The rule files exist only once noted; the session is noted
        // as soon as the controller gave its handle.
        beforeFlag = journal.notes;
        EXPECT_EQ(0, wrapper.regPowerCycle());
    }));
    EXPECT_EQ((std::vector<std::string>{
                  "rule " + rule1 + " " + Sha256Hex(host.files[UdevRuleFile1]),
                  "rule " + rule2 + " " + Sha256Hex(host.files[UdevRuleFile2]),
                  "session 0x002a",
              }),
              beforeFlag);
    EXPECT_EQ((std::vector<std::string>{
                  "rule " + rule1 + " " + Sha256Hex(host.files[UdevRuleFile1]),
                  "rule " + rule2 + " " + Sha256Hex(host.files[UdevRuleFile2]),
                  "session 0x002a",
                  "flag 5",
                  "flag-set 5",
                  "session-gone 0x002a",
                  "rule-gone " + rule1,
                  "rule-gone " + rule2,
              }),
              journal.notes);
}

TEST_F(JournalTest, TheHalDaemonIsNotedStoppedBeforeItIsStoppedAndRunningOnceStarted)
{
    TestCorvel corvel(JournalSeams());
    corvel.SetOsTypeForTest(SUSE);
    corvel.SetHalDaemonForTest(true);
    const std::string stop = "/etc/init.d/haldaemon stop > /dev/null 2>&1";
    const std::string start = "/etc/init.d/haldaemon start > /dev/null 2>&1";
    journal.notes.clear();
    host.shellCommands.clear();
    // What the host had run when each record was noted.
    std::vector<size_t> ranBefore;
    journal.onNote = [&] { ranBefore.push_back(host.CountShell(stop) + host.CountShell(start)); };
    EXPECT_TRUE(corvel.udevhalInstall());
    EXPECT_TRUE(corvel.udevhalUninstall());
    const auto at = [&](const std::string& note) {
        return std::find(journal.notes.begin(), journal.notes.end(), note) - journal.notes.begin();
    };
    ASSERT_LT(static_cast<size_t>(at("daemon-stopped haldaemon")), journal.notes.size());
    ASSERT_LT(static_cast<size_t>(at("daemon-running haldaemon")), journal.notes.size());
    EXPECT_EQ(0u, ranBefore[at("daemon-stopped haldaemon")]);
    EXPECT_EQ(2u, ranBefore[at("daemon-running haldaemon")]);
    journal.onNote = nullptr;
}

TEST_F(JournalTest, SessionsLeftOpenAreEndedByTheirHandlesBeforeThisRunOpensItsOwn)
{
    // A killed run's session 0x002a is still open; another killed run's
    // session 0x0077 the controller no longer holds.
    sim->OpenSessionBeforehand();
    journal.left = {{0x002a, 4242, 1700000000}, {0x0077, 4100, 1690000000}};
    EXPECT_EQ(-1, ConstructWrapperWith(JournalSeams(), [](UpdRollbackWrapper& wrapper) {
        EXPECT_EQ(0, wrapper.regPowerCycle());
    }));
    const std::vector<std::vector<uint8_t>> ends = sim->RequestsOf(0xA2, 0x01);
    ASSERT_EQ(3u, ends.size());
    EXPECT_EQ((std::vector<uint8_t>{0x30, 0xA2, 0x01, 0x2a, 0x00}),
              std::vector<uint8_t>(ends[0].begin(), ends[0].begin() + 5));
    EXPECT_EQ((std::vector<uint8_t>{0x30, 0xA2, 0x01, 0x77, 0x00}),
              std::vector<uint8_t>(ends[1].begin(), ends[1].begin() + 5));
    const std::vector<std::string> order = sim->Sequence();
    EXPECT_LT(std::find(order.begin(), order.end(), "A2/01") - order.begin(),
              std::find(order.begin(), order.end(), "A2/12") - order.begin());
    // Both are done with: one ended, one found gone.
    EXPECT_EQ(1u,
              std::count(journal.notes.begin(), journal.notes.end(), "left-session-gone 0x002a"));
    EXPECT_EQ(1u,
              std::count(journal.notes.begin(), journal.notes.end(), "left-session-gone 0x0077"));
    EXPECT_EQ("closed", sim->State("session"));
    EXPECT_EQ("0x05", sim->State("flag"));
}

// Only the controller's own refusal says a session is gone; a request that
// got no answer, or never left (the driver layer then puts 0x01 where the
// completion code goes), says nothing about it.
TEST_F(JournalTest, ASessionTheControllerCouldNotBeAskedAboutStaysListed)
{
    for (const char* rule : {"silent", "errno EIO", "errno EBUSY"}) {
        SCOPED_TRACE(rule);
        UseSimulatedController("generation 30\nrepository 00\naccess enabled\n"
                               "on 30 a2 01 times 1 : " +
                                   std::string(rule) + "\n",
                               false);
        journal.notes.clear();
        journal.left = {{0x002a, 4242, 1700000000}};
        ConstructWrapperWith(JournalSeams());
        EXPECT_EQ(0u, std::count(journal.notes.begin(), journal.notes.end(),
                                 "left-session-gone 0x002a"));
    }
}

} // namespace
} // namespace scaltest
