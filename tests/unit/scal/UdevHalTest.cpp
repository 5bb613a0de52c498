#include "ScalTestFixture.h"

namespace scaltest
{
namespace
{

const char kEtcRule1[] = "/etc/udev/rules.d/98-secupdusb.rules";
const char kChmodEtc1[] = "chmod 755 /etc/udev/rules.d//98-secupdusb.rules  > /dev/null 2>&1";
const char kChmodEtc2[] = "chmod 755 /etc/udev/rules.d//00-secupd-vantor.rules  > /dev/null 2>&1";
const char kReload[] = "/sbin/udevadm control --reload-rules > /dev/null 2>&1";

class UdevHalTest : public ScalTest
{
protected:
    void SetUp() override
    {
        ScalTest::SetUp();
        UseSimulatedController("", true);
        host.executables.insert("/sbin/udevadm");
        corvel.reset(new TestCorvel(Seams()));
        corvel->ForgetInstalledRulesForTest();
        host.created.clear();
        host.shellCommands.clear();
        host.unlinked.clear();
        OpenLog();
    }
    void TearDown() override
    {
        corvel.reset();
        ScalTest::TearDown();
    }
    std::unique_ptr<TestCorvel> corvel;
};

TEST_F(UdevHalTest, InstallDependsOnTheOperatingSystem)
{
    struct Case {
        const char* name;
        int osType;
        bool halRunning;
        bool result;
        unsigned copies;
        unsigned reloads;
        unsigned daemonStops;
    };
    const Case cases[] = {
        {"Red Hat", REDHAT, false, true, 2, 2, 0},
        {"CentOS", CENTOS, false, false, 6, 2, 0},
        {"undetected", OS_UNKNOWN, false, false, 6, 2, 0},
        {"SUSE with the daemon running", SUSE, true, true, 2, 1, 1},
        {"SUSE without the daemon", SUSE, false, false, 2, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.shellCommands.clear();
        host.created.clear();
        corvel->ForgetInstalledRulesForTest();
        corvel->SetOsTypeForTest(c.osType);
        corvel->SetHalDaemonForTest(c.halRunning);
        EXPECT_EQ(corvel->udevhalInstall(), c.result);
        EXPECT_EQ(host.created.size(), c.copies);
        EXPECT_EQ(host.CountShell("chmod 755 "), c.copies);
        EXPECT_EQ(host.CountShell(kReload), c.reloads);
        EXPECT_EQ(host.CountShell("/etc/init.d/haldaemon stop > /dev/null 2>&1"), c.daemonStops);
        ASSERT_GE(host.shellCommands.size(), 3u);
        EXPECT_EQ(host.shellCommands[0], kChmodEtc1);
        EXPECT_EQ(host.shellCommands[1], kChmodEtc2);
        // The package's own bytes, with the mode the rules always had.
        EXPECT_EQ(host.created[kEtcRule1], "# repository USB device\n");
        EXPECT_EQ(host.createdModes[kEtcRule1], 0755u);
    }
    EXPECT_TRUE(LogHas("copied 98-secupdusb.rules to /etc/udev/rules.d/"));
    EXPECT_TRUE(LogHas("stopped haldaemon"));
}

TEST_F(UdevHalTest, UninstallRemovesWhatTheInstallPutInPlaceAndRestartsTheDaemonItStopped)
{
    struct Case {
        int osType;
        bool halRunning;
        unsigned unlinks;
        unsigned daemonStarts;
    };
    for (const Case& c : {Case{REDHAT, false, 2, 0}, Case{SUSE, true, 2, 1},
                          Case{SUSE, false, 2, 0}, Case{OS_UNKNOWN, false, 6, 0}}) {
        SCOPED_TRACE(c.osType);
        corvel->ForgetInstalledRulesForTest();
        host.created.clear();
        corvel->SetOsTypeForTest(c.osType);
        corvel->SetHalDaemonForTest(c.halRunning);
        corvel->udevhalInstall();
        host.unlinked.clear();
        host.shellCommands.clear();
        EXPECT_TRUE(corvel->udevhalUninstall());
        EXPECT_EQ(host.unlinked.size(), c.unlinks);
        EXPECT_TRUE(host.created.empty());
        EXPECT_EQ(host.CountShell("/etc/init.d/haldaemon start > /dev/null 2>&1"), c.daemonStarts);
    }
    EXPECT_EQ(host.unlinked[0], "/etc/udev/rules.d/98-secupdusb.rules");
    EXPECT_EQ(host.unlinked[5], "/run/udev/rules.d/00-secupd-vantor.rules");
    EXPECT_TRUE(LogHas("Udev  successfully Uninstalled"));

    // An uninstall without an install removes nothing.
    corvel->ForgetInstalledRulesForTest();
    host.unlinked.clear();
    EXPECT_TRUE(corvel->udevhalUninstall());
    EXPECT_TRUE(host.unlinked.empty());
}

TEST_F(UdevHalTest, RuleFilesOfTheHostAreKeptAndUnsafePlacesGetNone)
{
    struct Case {
        const char* name;
        std::function<void(FakeHost&)> arrange;
        std::vector<std::string> installed; // rule files this run put in place
    };
    const std::string etc1 = "/etc/udev/rules.d/98-secupdusb.rules";
    const std::string etc2 = "/etc/udev/rules.d/00-secupd-vantor.rules";
    const Case cases[] = {
        {"a rule file already there is the host's",
         [&](FakeHost& h) { h.files[etc1] = "host's own\n"; },
         {etc2}},
        {"a link in the rule file's place", [&](FakeHost& h) { h.links.insert(etc1); }, {etc2}},
        {"a package rule file refused (link, owner, mode)",
         [](FakeHost& h) { h.refusedPackageFiles.insert(UdevRuleFile2); },
         {etc1}},
        {"a rule folder others may write to",
         [](FakeHost& h) { h.modes["/etc/udev/rules.d"] = 0777; },
         {}},
        {"a rule folder that is a link",
         [](FakeHost& h) {
             h.directories.erase("/etc/udev/rules.d");
             h.links.insert("/etc/udev/rules.d");
         },
         {}},
        {"a rule folder of another user",
         [](FakeHost& h) { h.owners["/etc/udev/rules.d"] = 65534; },
         {}},
    };
    const FakeHost original = host;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host = original;
        c.arrange(host);
        const auto hostFiles = host.files;
        corvel->ForgetInstalledRulesForTest();
        corvel->SetOsTypeForTest(REDHAT);
        corvel->udevhalInstall();
        std::vector<std::string> installed;
        for (const auto& entry : host.created) {
            installed.push_back(entry.first);
        }
        std::sort(installed.begin(), installed.end());
        std::vector<std::string> expected = c.installed;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(installed, expected);
        EXPECT_EQ(host.CountShell("chmod 755 "), expected.size());

        corvel->udevhalUninstall();
        EXPECT_TRUE(host.created.empty());
        // Only what this run made is unlinked; the host's own file stays.
        std::sort(host.unlinked.begin(), host.unlinked.end());
        EXPECT_EQ(host.unlinked, expected);
        EXPECT_EQ(host.files, hostFiles);
    }
    EXPECT_TRUE(LogHas("/etc/udev/rules.d/98-secupdusb.rules was already there, kept"));
}

TEST_F(UdevHalTest, ReloadCommandFollowsTheToolsPresent)
{
    EXPECT_TRUE(corvel->RestartUdevRules());
    EXPECT_EQ(host.shellCommands.back(), kReload);

    host.executables.erase("/sbin/udevadm");
    host.executables.insert("/sbin/udevcontrol");
    EXPECT_TRUE(corvel->RestartUdevRules());
    EXPECT_EQ(host.shellCommands.back(), "/sbin/udevcontrol reload_rules > /dev/null 2>&1");

    host.executables.clear();
    host.shellCommands.clear();
    corvel->SetOsTypeForTest(REDHAT);
    EXPECT_TRUE(corvel->udevhalInstall());  // no reload tool: still counts as installed
    EXPECT_EQ(host.CountShell("udev"), 2u); // the chmods of the two copies only

    host.executables.insert("/sbin/udevadm");
    host.shellStatus = [](const std::string& command) {
        return command.find("udevadm") != std::string::npos ? -1 : 0;
    };
    EXPECT_FALSE(corvel->RestartUdevRules());
    EXPECT_TRUE(LogHas("failed RestartUdevRules"));
}

TEST_F(UdevHalTest, CopyNeedsTheDirectoryAndAShell)
{
    host.files.erase("/lib/udev/rules.d/");
    EXPECT_FALSE(corvel->CopyFile("98-secupdusb.rules ", "/lib/udev/rules.d/"));
    EXPECT_TRUE(LogHas("/lib/udev/rules.d/ Path does not exists"));
    EXPECT_TRUE(host.shellCommands.empty());
    EXPECT_TRUE(host.created.empty());

    // The package without the file: nothing copied, nothing to chmod.
    host.files.erase("98-secupdusb.rules");
    EXPECT_FALSE(corvel->CopyFile("98-secupdusb.rules ", "/etc/udev/rules.d/"));
    EXPECT_TRUE(host.shellCommands.empty());
    host.files["98-secupdusb.rules"] = "rules\n";

    host.shellStatus = [](const std::string&) { return -1; };
    EXPECT_FALSE(corvel->CopyFile("98-secupdusb.rules ", "/etc/udev/rules.d/"));
    EXPECT_TRUE(LogHas("Change file permission to 755"));

    // A chmod that ran but failed is not noticed: the file has its mode.
    host.created.clear();
    host.shellStatus = [](const std::string&) { return 256; };
    EXPECT_TRUE(corvel->CopyFile("98-secupdusb.rules ", "/etc/udev/rules.d/"));
    EXPECT_EQ(host.createdModes[kEtcRule1], 0755u);
    EXPECT_GE(host.syncCalls, 1u);
}

TEST_F(UdevHalTest, DaemonCountsAsRunningOnlyWhenItsStatusSaysSo)
{
    const std::string status = "/etc/init.d/haldaemon status";
    EXPECT_FALSE(corvel->IsHalDaemonRunning());
    EXPECT_TRUE(host.captureCommands.empty());

    host.executables.insert("/etc/init.d/haldaemon");
    host.captureOutput[status] = "Checking for service HAL daemon running\n";
    EXPECT_TRUE(corvel->IsHalDaemonRunning());
    EXPECT_TRUE(LogHas("haldaemon is running"));

    host.captureOutput[status] = "Checking for service HAL daemon unused\n";
    EXPECT_FALSE(corvel->IsHalDaemonRunning());
    host.captureOutput.clear();
    EXPECT_FALSE(corvel->IsHalDaemonRunning());
}

} // namespace
} // namespace scaltest
