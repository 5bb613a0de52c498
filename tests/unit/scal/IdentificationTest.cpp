#include <cstdio>

#include "ScalTestFixture.h"
#include "SimulatedController.h"

namespace scaltest
{
namespace
{

class IdentificationTest : public ScalTest
{
protected:
    void SetUp() override
    {
        ScalTest::SetUp();
        UseScript("");
        host.files.clear();
        OpenLog();
    }
    // A new simulated controller with this script, its library started.
    void UseScript(const std::string& script) { sim = UseSimulatedController(script, true); }
    static std::string Line(const char* key, uint8_t value)
    {
        char text[32];
        std::snprintf(text, sizeof(text), "%s %02x\n", key, value);
        return text;
    }
};

TEST_F(IdentificationTest, ReleaseFilesDecideTheOperatingSystem)
{
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;
        std::string kernel;
        int expected;
        const char* message; // empty: none
    };
    const std::string longLine(1500, 'x');
    const Case cases[] = {
        {"Red Hat",
         {{"/etc/redhat-release", "Red Hat Enterprise Linux 9\n"}},
         "Linux",
         REDHAT,
         "getLinuxOSVer REDHAT found"},
        {"XenServer",
         {{"/etc/redhat-release", "XenServer release 8\n"}},
         "Linux",
         XENSERVER,
         "getLinuxOSVer Xenserver found"},
        {"CentOS",
         {{"/etc/redhat-release", "CentOS Linux release 7\n"}},
         "Linux",
         CENTOS,
         "getLinuxOSVer CentOS found"},
        {"CentOS with a wnx-version lacking the key",
         {{"/etc/redhat-release", "CentOS Linux release 7\n"}, {"/wnx-version", "OTHER=1\n"}},
         "Linux",
         REDHAT,
         ""},
        {"new embedded image",
         {{"/etc/redhat-release", "CentOS\n"}, {"/wnx-version", "A=1\nWNX_MAJOR_VERSION=3\n"}},
         "Linux",
         ELI_NEW,
         "getLinuxOSVer: NEW ELI(HBQ) Found"},
        {"SUSE", {{"/etc/SuSE-release", ""}}, "Linux", SUSE, "getLinuxOSVer: SLES Found"},
        {"embedded image by VERSION",
         {{"/VERSION", "X=1\nWNX_MAJOR_VERSION=2\n"}},
         "Linux",
         ELI,
         "getLinuxOSVer: ELI(WNX) Found"},
        {"embedded image by VER_INFO",
         {{"/VER_INFO", "HBQ_MAJOR_VERSION=1\n"}},
         "Linux",
         ELI,
         "getLinuxOSVer: ELI(HBQ) Found"},
        {"ESX 3",
         {{"/etc/vmware-release", "VMware ESX Server 3\n"}},
         "Linux",
         ESX,
         "getLinuxOSVer: ESX 3 Found"},
        {"ESX 4.1",
         {{"/etc/vmware-release", "VMware ESX 4.1\n"}},
         "Linux",
         ESX4_1,
         "getLinuxOSVer: ESX 4 Found"},
        {"ESX 4.0",
         {{"/etc/vmware-release", "VMware ESX 4.0\n"}},
         "Linux",
         ESX4,
         "getLinuxOSVer: ESX 4 Found"},
        {"unknown VMware then SUSE",
         {{"/etc/vmware-release", "VMware Other\n"}, {"/etc/SuSE-release", ""}},
         "Linux",
         SUSE,
         "getLinuxOSVer: Unrecognized VMWare Found"},
        {"ESXi by kernel name",
         {{"/etc/redhat-release", "Red Hat\n"}},
         "VmKernel",
         ESXi,
         "getLinuxOSVer: ESXi Found"},
        {"nothing known", {}, "Linux", REDHAT, ""},
        {"key only past the first 1023 characters of the first line",
         {{"/etc/redhat-release", longLine + "Red Hat\n"}},
         "Linux",
         REDHAT,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.files = c.files;
        host.kernelName = c.kernel;
        LogFile.close();
        std::filesystem::remove(scratch_ + "/SCAL_DBG.log");
        OpenLog();

        TestCorvel corvel(Seams());
        corvel.SetOsTypeForTest(OS_UNKNOWN);
        EXPECT_TRUE(corvel.getLinuxOSVer());
        EXPECT_EQ(corvel.GetOsType(), c.expected);
        if (std::string(c.message).empty()) {
            for (const std::string& message : LogMessages()) {
                EXPECT_EQ(message.find("found"), std::string::npos) << message;
                EXPECT_EQ(message.find("Found"), std::string::npos) << message;
            }
        } else {
            EXPECT_TRUE(LogHas(c.message));
        }
    }
}

TEST_F(IdentificationTest, KnownSystemIsNotDetectedTwiceAndNonRootFails)
{
    host.files["/etc/SuSE-release"] = "";
    TestCorvel corvel(Seams());
    host.files.clear();
    EXPECT_TRUE(corvel.getLinuxOSVer());
    EXPECT_EQ(corvel.GetOsType(), SUSE);
    EXPECT_TRUE(LogHas("getLinuxOSVer OS Version previously set"));

    host.rootAllowed = false;
    corvel.SetOsTypeForTest(OS_UNKNOWN);
    EXPECT_FALSE(corvel.getLinuxOSVer());
    EXPECT_EQ(corvel.GetOsType(), OS_UNKNOWN);
    EXPECT_TRUE(LogHas("getLinuxOSVer:user is not root"));
}

TEST_F(IdentificationTest, GenerationByteMapsToTheGenerationCode)
{
    struct Case {
        uint8_t byte;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {0x00, 0, "It is a pre 12G system"},
        {0x0E, 0, "It is a pre 12G system"},
        {0x0F, 1, ""},
        {0x15, 1, ""},
        {0x16, 2, "13G or 13G Plus System"},
        {0x33, 2, "13G or 13G Plus System"},
        {0x30, 3, "It is a 14G system"},
        {0x42, 4, "It is a 15G system"},
        {0x50, 5, "It is a 16G system"},
        {0x62, 6, "It is a 17G system"},
        {0x63, 2, "13G or 13G Plus System"},
    };
    TestCorvel corvel(Seams());
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        GenerationType = -1;
        UseScript(Line("generation", c.byte));
        EXPECT_EQ(corvel.GetSystemGeneration(), c.code);
        ASSERT_EQ(sim->requests.size(), 1u);
        EXPECT_EQ(sim->requests[0], (std::vector<uint8_t>{0x30, 0xBD}));
        if (*c.message != '\0') {
            EXPECT_TRUE(LogHas(c.message));
        }
    }
    GenerationType = -1;
    UseScript("on 30 bd times 1 : cc c1\n");
    EXPECT_EQ(corvel.GetSystemGeneration(), 0);
    EXPECT_TRUE(LogHas("Get System Generation Failed"));

    GenerationType = 4;
    UseScript("");
    EXPECT_EQ(corvel.GetSystemGeneration(), 4);
    EXPECT_TRUE(sim->requests.empty());
}

TEST_F(IdentificationTest, RepositoryTypeMapping)
{
    TestCorvel corvel(Seams());
    const std::pair<uint8_t, int> cases[] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {0xFF, 0}};
    for (const auto& c : cases) {
        UseScript(Line("repository", c.first));
        EXPECT_EQ(corvel.GetCorvelType(), c.second) << static_cast<int>(c.first);
        EXPECT_EQ(corvel.getSCALError(), 0);
    }
    UseScript("on 30 ad : cc 0d\n");
    EXPECT_EQ(corvel.GetCorvelType(), 0);
    EXPECT_EQ(corvel.getSCALError(), SCAL_NO_CORVEL);
    EXPECT_TRUE(LogHas("There is no corvel present on this system."));
}

// An answer that ends before the byte asked for is no answer: the zeros
// behind it would read as a repository present, access enabled or a system
// before 12G.
TEST_F(IdentificationTest, AnswerCutBeforeItsFieldFailsAsARefusedRequest)
{
    TestCorvel corvel(Seams());

    UseScript("repository 01\non 30 ad : length 0\n");
    EXPECT_EQ(corvel.GetCorvelType(), 0);
    EXPECT_EQ(corvel.getSCALError(), SCAL_NO_CORVEL);
    EXPECT_TRUE(LogHas("RepositoryType: answer of 3 bytes ends before the fields it must hold"));

    UseScript("access enabled\non 30 ae : length 0\n");
    EXPECT_FALSE(corvel.IsCorvelEnabled());
    EXPECT_EQ(corvel.getSCALError(), SCAL_ACCESS_STATE_FAILED);
    EXPECT_TRUE(LogHas("AccessState: answer of 3 bytes ends before the fields it must hold"));

    GenerationType = -1;
    UseScript("generation 30\non 30 bd : length 5\n");
    EXPECT_EQ(corvel.GetSystemGeneration(), 0);
    EXPECT_TRUE(LogHas("SystemGeneration: answer of 8 bytes ends before the fields it must hold"));
    EXPECT_TRUE(LogHas("Get System Generation Failed"));
    EXPECT_FALSE(LogHas("It is a pre 12G system"));
}

TEST_F(IdentificationTest, RecoveryBypassNeedsTheLowestComponentIdToBeExactly28897)
{
    struct Case {
        const char* name;
        const char* package; // nullptr: no package.xml
        uint8_t state;
        bool enabled;
        uint8_t error;
    };
    const Case cases[] = {
        {"enabled needs no package", nullptr, 0, true, 0},
        {"recovery, bypass package",
         "<SoftwareComponent><SupportedDevices><Device componentID=\"28897\"/>"
         "<Device componentID=\"30000\"/></SupportedDevices></SoftwareComponent>",
         2, true, 0},
        {"recovery, lower id first",
         "<SoftwareComponent><SupportedDevices><Device componentID=\"1234\"/>"
         "<Device componentID=\"28897\"/></SupportedDevices></SoftwareComponent>",
         2, false, 0},
        {"recovery, id written with a leading zero",
         "<SoftwareComponent><SupportedDevices><Device componentID=\"028897\"/>"
         "</SupportedDevices></SoftwareComponent>",
         2, false, 0},
        {"disabled, bypass package",
         "<SoftwareComponent><SupportedDevices><Device componentID=\"28897\"/>"
         "</SupportedDevices></SoftwareComponent>",
         1, false, 0},
        {"recovery, no package", nullptr, 2, false, 0},
        {"recovery, device without componentID",
         "<SoftwareComponent><SupportedDevices><Device/></SupportedDevices></SoftwareComponent>", 2,
         false, SCAL_INTERNAL_ERROR},
    };
    TestCorvel corvel(Seams());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.files.erase("package.xml");
        if (c.package != nullptr) {
            host.files["package.xml"] = c.package;
        }
        UseScript(Line("access", c.state));
        corvel.storeErrorInfo(0);
        EXPECT_EQ(corvel.IsCorvelEnabled(), c.enabled);
        EXPECT_EQ(corvel.getSCALError(), c.error);
        if (c.error == 0) {
            EXPECT_EQ(corvel.GetAccessState(), c.enabled ? 0 : c.state);
        }
    }
    EXPECT_TRUE(LogHas("SCAL internal error"));
}

TEST_F(IdentificationTest, PackageWithoutUsableComponentIdIsError53)
{
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "Could not open package.xml"},
        {"<SoftwareComponent><Supported", "Could not open package.xml"},
        {"<Package/>", "Root node is not SoftwareComponent"},
        {"<SoftwareComponent/>", "Did not find SupportedDevices or Device or componentID"},
        {"<SoftwareComponent><Device componentID=\"1\"/></SoftwareComponent>",
         "Did not find SupportedDevices or Device or componentID"},
    };
    TestCorvel corvel(Seams());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        host.files.erase("package.xml");
        if (c.first != nullptr) {
            host.files["package.xml"] = c.first;
        }
        corvel.storeErrorInfo(0);
        std::string id = "unchanged";
        EXPECT_FALSE(corvel.get_comp_id(id));
        EXPECT_EQ(id, "unchanged");
        EXPECT_EQ(corvel.getSCALError(), SCAL_NO_COMPONENT_ID);
        EXPECT_TRUE(LogHas(c.second));
    }
}

TEST_F(IdentificationTest, LowestComponentIdIsKeptAsWritten)
{
    host.files["package.xml"] =
        "<SoftwareComponent><SupportedDevices><Device componentID=\"500\"/></SupportedDevices>"
        "<SupportedDevices><Device componentID=\" 0040\"/><Device componentID=\"40\"/>"
        "</SupportedDevices></SoftwareComponent>";
    TestCorvel corvel(Seams());
    std::string id;
    EXPECT_TRUE(corvel.get_comp_id(id));
    EXPECT_EQ(id, " 0040");
    EXPECT_EQ(CountLog("This One Smaller"), 1u);
    EXPECT_TRUE(LogHas("Smallest ComponentId:"));
}

} // namespace
} // namespace scaltest
