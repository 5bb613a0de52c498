#include "ScalTestFixture.h"

namespace scaltest
{
namespace
{

const char kCopyEtc1[] = "cp -fH 98-secupdusb.rules /etc/udev/rules.d/ > /dev/null 2>&1";
const char kCopyEtc2[] = "cp -fH 00-secupd-vantor.rules /etc/udev/rules.d/ > /dev/null 2>&1";
const char kChmodEtc1[] = "chmod 755 /etc/udev/rules.d//98-secupdusb.rules  > /dev/null 2>&1";
const char kReload[] = "/sbin/udevadm control --reload-rules > /dev/null 2>&1";

class UdevHalTest : public ScalTest
{
protected:
    void SetUp() override
    {
        ScalTest::SetUp();
        controller.started = true;
        host.executables.insert("/sbin/udevadm");
        corvel.reset(new TestCorvel());
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
        corvel->SetOsTypeForTest(c.osType);
        corvel->SetHalDaemonForTest(c.halRunning);
        EXPECT_EQ(corvel->udevhalInstall(), c.result);
        EXPECT_EQ(host.CountShell("cp -fH "), c.copies);
        EXPECT_EQ(host.CountShell("chmod 755 "), c.copies);
        EXPECT_EQ(host.CountShell(kReload), c.reloads);
        EXPECT_EQ(host.CountShell("/etc/init.d/haldaemon stop > /dev/null 2>&1"), c.daemonStops);
        ASSERT_GE(host.shellCommands.size(), 4u);
        EXPECT_EQ(host.shellCommands[0], kCopyEtc1);
        EXPECT_EQ(host.shellCommands[1], kChmodEtc1);
        EXPECT_EQ(host.shellCommands[2], kCopyEtc2);
    }
    EXPECT_TRUE(LogHas(kCopyEtc1));
    EXPECT_TRUE(LogHas("stopped haldaemon"));
}

TEST_F(UdevHalTest, UninstallRemovesEveryRuleFileAndRestartsTheDaemonItStopped)
{
    struct Case {
        int osType;
        bool halRunning;
        unsigned unlinks;
        unsigned daemonStarts;
    };
    for (const Case& c : {Case{REDHAT, false, 6, 0}, Case{SUSE, true, 2, 1},
                          Case{SUSE, false, 2, 0}, Case{OS_UNKNOWN, false, 6, 0}}) {
        SCOPED_TRACE(c.osType);
        host.unlinked.clear();
        host.shellCommands.clear();
        corvel->SetOsTypeForTest(c.osType);
        corvel->SetHalDaemonForTest(c.halRunning);
        EXPECT_TRUE(corvel->udevhalUninstall());
        EXPECT_EQ(host.unlinked.size(), c.unlinks);
        EXPECT_EQ(host.CountShell("/etc/init.d/haldaemon start > /dev/null 2>&1"), c.daemonStarts);
    }
    EXPECT_EQ(host.unlinked[0], "/etc/udev/rules.d/98-secupdusb.rules");
    EXPECT_EQ(host.unlinked[5], "/run/udev/rules.d/00-secupd-vantor.rules");
    EXPECT_TRUE(LogHas("Udev  successfully Uninstalled"));
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
    EXPECT_EQ(host.CountShell("udev"), 4u); // the two copies and their chmods only

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

    host.shellStatus = [](const std::string&) { return -1; };
    EXPECT_FALSE(corvel->CopyFile("98-secupdusb.rules ", "/etc/udev/rules.d/"));
    EXPECT_TRUE(LogHas("CopyFile fdi file failed"));

    // A copy that ran but failed is not noticed.
    host.shellStatus = [](const std::string&) { return 256; };
    EXPECT_TRUE(corvel->CopyFile("98-secupdusb.rules ", "/etc/udev/rules.d/"));
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
