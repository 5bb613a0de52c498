#include "VEXEnvironmentInfo.h"

#include <gtest/gtest.h>

#include "FakeHost.h"

namespace
{

TEST(VEXEnvironmentInfo, DetectsVMwareFromReleaseFileAndKernelName)
{
    struct Case {
        const char* name;
        const char* releaseLine; // nullptr: no release file
        const char* kernel;      // nullptr: uname fails
        uint32_t code;
    };
    const Case cases[] = {
        {"plain Linux", nullptr, "Linux", 0},
        {"classic ESX", "VMware ESX Server 3 (Dali)", "Linux", 18},
        {"release file of something else", "VMware Workstation", "Linux", 0},
        {"ESXi kernel, no release file", nullptr, "VMkernel", 19},
        {"kernel name in odd case", nullptr, "vmKERNEL", 19},
        {"kernel name overrides release file", "VMware ESX 4.1", "VMkernel", 19},
        {"kernel name must match whole", nullptr, "VMkernel2", 0},
        {"uname failing keeps the release result", "VMware ESX 4.1", nullptr, 18},
        {"nothing at all", nullptr, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOSProbe probe;
        if (c.releaseLine != nullptr) {
            probe.files["/etc/vmware-release"] = c.releaseLine;
        }
        probe.unameWorks = c.kernel != nullptr;
        probe.kernelName = c.kernel != nullptr ? c.kernel : "";

        VEXEnvironmentInfo info(&probe);
        EXPECT_TRUE(info.Initialize());
        EXPECT_EQ(c.code, info.GetOSName());
        EXPECT_EQ(0u, info.GetOSArch());
        EXPECT_EQ(0u, info.GetOSType());
        EXPECT_EQ(0u, info.GetOSVendorName());
    }
}

TEST(VEXEnvironmentInfo, ProbesOnceAndReadsZeroBefore)
{
    FakeOSProbe probe;
    probe.kernelName = "VMkernel";
    VEXEnvironmentInfo info(&probe);
    EXPECT_EQ(0u, info.GetOSName());
    EXPECT_EQ(nullptr, info.GetOSVersion());
    EXPECT_TRUE(info.Initialize());
    probe.kernelName = "Linux";
    EXPECT_TRUE(info.Initialize());
    EXPECT_EQ(19u, info.GetOSName());
    ASSERT_NE(nullptr, info.GetOSVersion());
}

TEST(VEXEnvironmentInfo, ProcessWideProbeIsUsedByDefault)
{
    FakeOSProbe probe;
    probe.files["/etc/vmware-release"] = "VMware ESX 4.0";
    VEXLXOperatingSystemVersion::SetOSProbe(&probe);
    VEXEnvironmentInfo info;
    info.Initialize();
    VEXLXOperatingSystemVersion::SetOSProbe(nullptr);
    EXPECT_EQ(18u, info.GetOSName());
}

TEST(VEXLXOperatingSystemVersion, VersionTexts)
{
    FakeOSProbe probe;
    VEXLXOperatingSystemVersion version(&probe);
    EXPECT_TRUE(version.Initialize());
    EXPECT_EQ("0.0.0.0-", version.GetVersion().GetUTF8String());
    version.SetVersionNumbers(5, 1, 0, 12);
    version.SetVersionSuffix(VEXString("el5"));
    EXPECT_EQ("5.1.0.12-el5", version.GetVersion().GetUTF8String());
    EXPECT_EQ("6.5", version.GetVendorVersion().GetUTF8String());
}

} // namespace
