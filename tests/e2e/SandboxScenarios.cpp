// The sandbox itself: what a scenario relies on when it runs the program.

#include "E2EHarness.h"

namespace
{

using namespace e2e;

TEST(Sandbox, WritesOutsideThePackageStayInsideAndStandInsRecordTheirCalls)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg("sandbox_self");
    const std::string hostFile = "/etc/lumo-e2e-sandbox-probe";
    ASSERT_FALSE(std::filesystem::exists(hostFile));
    WriteFile(pkg.file("root/etc/vmware-release"), "VMware ESX 4.1.0 build-1\n");
    SandboxOptions opts;
    opts.standins = {"modprobe=1,0"};
    opts.rootDir = pkg.file("root");
    opts.env = {"PROBE=value"};
    const RunResult r = RunCommand(
        pkg,
        {"/bin/sh", "-c",
         "echo x > " + hostFile +
             " && cat /etc/vmware-release && echo $PROBE && "
             "modprobe usb_storage; echo s=$?; modprobe usb_storage; echo s=$?; rmmod a b; "
             "echo pid=$$; touch written-here"},
        opts);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("VMware ESX 4.1.0 build-1\nvalue\ns=1\ns=0\npid=")) << r.out;
    EXPECT_EQ("modprobe usb_storage\nmodprobe usb_storage\nrmmod a b\n", r.standins);
    EXPECT_FALSE(std::filesystem::exists(hostFile));
    EXPECT_FALSE(std::filesystem::exists("/etc/vmware-release"));
    EXPECT_TRUE(pkg.exists("written-here"));
}

TEST(Sandbox, CommandThatHangsIsEndedByTheTimeLimit)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg("sandbox_timeout");
    SandboxOptions opts;
    opts.timeoutSeconds = 1;
    const RunResult r = RunCommand(pkg, {"/bin/sleep", "30"}, opts);
    EXPECT_EQ(124, r.status);
}

} // namespace
