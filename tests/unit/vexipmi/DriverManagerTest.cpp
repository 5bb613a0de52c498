#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <memory>

#include "FakeIPMISys.h"
#include "LVEXIPMIDriverManager.h"

namespace
{

class FakeOSProbe : public IVEXOSProbe
{
public:
    std::string releaseLine; // empty: no /etc/vmware-release
    std::string kernel = "Linux";
    bool ReadFirstLine(const std::string& path, std::string& line) override
    {
        if (path != "/etc/vmware-release" || releaseLine.empty()) {
            return false;
        }
        line = releaseLine;
        return true;
    }
    bool KernelName(std::string& sysname) override
    {
        sysname = kernel;
        return true;
    }
};

std::string Lsmod(const std::string& module)
{
    return "lsmod  | grep " + module + " > /dev/null 2>&1 ";
}
std::string Modprobe(const std::string& module)
{
    return "modprobe " + module + " > /dev/null 2>&1 ";
}
std::string Rmmod(const std::string& module)
{
    return "rmmod " + module + " > /dev/null 2>&1 ";
}

const std::vector<std::string> kChecks = {Lsmod("ipmi_msghandler"), Lsmod("ipmi_devintf"),
                                          Lsmod("ipmi_si")};

std::vector<std::string> Checks(std::vector<std::string> then)
{
    std::vector<std::string> all = kChecks;
    all.insert(all.end(), then.begin(), then.end());
    return all;
}

// Which modules are loaded and which loads work decide the commands run
// while checking and while cleaning up.
struct DriverCase {
    const char* name;
    std::vector<std::string> loaded;    // lsmod finds these
    std::vector<std::string> loadFails; // modprobe fails for these
    int expectedResult;
    std::vector<std::string> expectedCheckCommands;
    std::vector<std::string> expectedReleaseCommands;
};

// Test names print the case name, not the object's bytes.
void PrintTo(const DriverCase& c, std::ostream* os)
{
    *os << c.name;
}

class DriverTable : public ::testing::TestWithParam<DriverCase>
{
};

TEST_P(DriverTable, LoadsMissingModulesAndUnloadsOnlyThose)
{
    const DriverCase& c = GetParam();
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    FakeOSProbe probe;
    for (const char* module : {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"}) {
        sys.shellStatus[Lsmod(module)] = 256;
    }
    for (const std::string& module : c.loaded) {
        sys.shellStatus[Lsmod(module)] = 0;
    }
    for (const std::string& module : c.loadFails) {
        sys.shellStatus[Modprobe(module)] = 256;
    }
    {
        DriverManager manager(sysPtr, &probe);
        EXPECT_EQ(manager.IsIPMIDriverAvailable(), c.expectedResult);
        EXPECT_EQ(sys.commands, c.expectedCheckCommands);
        sys.commands.clear();
    }
    EXPECT_EQ(sys.commands, c.expectedReleaseCommands);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverTable,
    ::testing::Values(
        DriverCase{
            "AllLoadedBefore", {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"}, {}, 0, kChecks, {}},
        DriverCase{
            "NoneLoadedAllLoad",
            {},
            {},
            0,
            Checks({Modprobe("ipmi_msghandler"), Modprobe("ipmi_devintf"), Modprobe("ipmi_si")}),
            {Rmmod("ipmi_si"), Rmmod("ipmi_devintf"), Rmmod("ipmi_msghandler")}},
        DriverCase{"OnlySiMissing",
                   {"ipmi_msghandler", "ipmi_devintf"},
                   {},
                   0,
                   Checks({Modprobe("ipmi_si")}),
                   {Rmmod("ipmi_si")}},
        // A module already present counts as success even when the others
        // fail to load.
        DriverCase{"HandlerPresentOthersFail",
                   {"ipmi_msghandler"},
                   {"ipmi_devintf", "ipmi_si"},
                   0,
                   Checks({Modprobe("ipmi_devintf"), Modprobe("ipmi_si")}),
                   {Rmmod("ipmi_si"), Rmmod("ipmi_devintf")}},
        DriverCase{
            "OneOfThreeLoads",
            {},
            {"ipmi_msghandler", "ipmi_si"},
            0,
            Checks({Modprobe("ipmi_msghandler"), Modprobe("ipmi_devintf"), Modprobe("ipmi_si")}),
            {Rmmod("ipmi_si"), Rmmod("ipmi_devintf"), Rmmod("ipmi_msghandler")}},
        DriverCase{
            "NothingLoads",
            {},
            {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"},
            1,
            Checks({Modprobe("ipmi_msghandler"), Modprobe("ipmi_devintf"), Modprobe("ipmi_si")}),
            {Rmmod("ipmi_si"), Rmmod("ipmi_devintf"), Rmmod("ipmi_msghandler")}}),
    [](const ::testing::TestParamInfo<DriverCase>& p) { return std::string(p.param.name); });

TEST(DriverManager, ConfirmedDriversAreNotCheckedAgain)
{
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    FakeOSProbe probe;
    DriverManager manager(sysPtr, &probe);
    ASSERT_EQ(manager.IsIPMIDriverAvailable(), 0);
    sys.commands.clear();
    EXPECT_EQ(manager.IsIPMIDriverAvailable(), 0);
    EXPECT_TRUE(sys.commands.empty());
}

TEST(DriverManager, FailedLoadIsCheckedAgainNextTime)
{
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    FakeOSProbe probe;
    for (const char* module : {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"}) {
        sys.shellStatus[Lsmod(module)] = 256;
        sys.shellStatus[Modprobe(module)] = 256;
    }
    DriverManager manager(sysPtr, &probe);
    ASSERT_EQ(manager.IsIPMIDriverAvailable(), 1);
    sys.commands.clear();
    EXPECT_EQ(manager.IsIPMIDriverAvailable(), 1);
    EXPECT_EQ(sys.commands.size(), 6u);
}

TEST(DriverManager, EsxAndEsxiSkipEveryModuleCommand)
{
    struct {
        const char* release;
        const char* kernel;
    } hosts[] = {{"VMware ESX 4.1 (Kandinsky)", "Linux"}, {"", "vmkernel"}, {"", "VMkernel"}};
    for (const auto& host : hosts) {
        std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
        FakeIPMISys& sys = *sysPtr;
        FakeOSProbe probe;
        probe.releaseLine = host.release;
        probe.kernel = host.kernel;
        for (const char* module : {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"}) {
            sys.shellStatus[Lsmod(module)] = 256;
            sys.shellStatus[Modprobe(module)] = 256;
        }
        {
            DriverManager manager(sysPtr, &probe);
            EXPECT_EQ(manager.IsIPMIDriverAvailable(), 0) << host.kernel;
            EXPECT_EQ(manager.ReleaseIPMIDriver(), 0);
        }
        EXPECT_TRUE(sys.commands.empty()) << host.kernel;
    }
}

TEST(DriverManager, ReleaseWithoutLoadingRunsNothing)
{
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    FakeOSProbe probe;
    {
        DriverManager manager(sysPtr, &probe);
        EXPECT_EQ(manager.ReleaseIPMIDriver(), 0);
    }
    EXPECT_TRUE(sys.commands.empty());
}

TEST(DriverManager, ExplicitReleaseUnloadsOnceOnly)
{
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    FakeOSProbe probe;
    sys.shellStatus[Lsmod("ipmi_si")] = 256;
    {
        DriverManager manager(sysPtr, &probe);
        ASSERT_EQ(manager.IsIPMIDriverAvailable(), 0);
        sys.commands.clear();
        // The device holds the module: rmmod fails, which is only logged.
        sys.shellStatus[Rmmod("ipmi_si")] = 256;
        EXPECT_EQ(manager.ReleaseIPMIDriver(), 0);
        EXPECT_EQ(sys.commands, std::vector<std::string>{Rmmod("ipmi_si")});
    }
    EXPECT_EQ(sys.commands.size(), 1u);
}

} // namespace

// Each module is noted in the crash journal before it is loaded, and noted
// gone only when rmmod took it: one the kernel refused (its device still
// open) stays listed for the next run to unload.
TEST(DriverManager, ModulesAreJournaledBeforeLoadingAndGoneOnlyWhenUnloaded)
{
    class Journal : public IChangeJournal
    {
    public:
        explicit Journal(FakeIPMISys& sys) : m_sys(sys) {}
        void Note(const JournalRecord& record) override
        {
            // What the shell ran so far shows whether the note came first.
            notes.push_back(DescribeJournalRecord(record) + " after " +
                            std::to_string(m_sys.commands.size()));
        }
        std::vector<LeftSession> LeftSessions() override { return {}; }
        std::vector<std::string> notes;

    private:
        FakeIPMISys& m_sys;
    };
    std::shared_ptr<FakeIPMISys> sysPtr = std::make_shared<FakeIPMISys>();
    FakeIPMISys& sys = *sysPtr;
    FakeOSProbe probe;
    for (const char* module : {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"}) {
        sys.shellStatus[Lsmod(module)] = 256;
    }
    sys.shellStatus[Rmmod("ipmi_devintf")] = 256;
    sys.shellStatus[Rmmod("ipmi_msghandler")] = 256;
    auto journal = std::make_shared<Journal>(sys);
    {
        DriverManager manager(sysPtr, &probe, journal);
        ASSERT_EQ(manager.IsIPMIDriverAvailable(), 0);
    }
    EXPECT_EQ(journal->notes, (std::vector<std::string>{
                                  "module ipmi_msghandler after 3",
                                  "module ipmi_devintf after 4",
                                  "module ipmi_si after 5",
                                  "module-gone ipmi_si after 7",
                              }));
}
