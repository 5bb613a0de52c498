#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "LinuxImpl.h"
#include "Logger.h"
#include "PlatformLayer.h"

using foundationtest::TempDir;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace
{

const std::string kBuiltIn =
    "grep -i \"usb[-_]storage.ko\" /lib/modules/$(uname -r)/modules.builtin  > /dev/null 2>&1";
const std::string kLsmod = "lsmod | grep usb_storage  > /dev/null 2>&1";
const std::string kModprobe = "modprobe usb_storage  > /dev/null 2>&1";
const std::string kRmmod = "rmmod usb_storage  > /dev/null 2>&1";

// Records every shell command and answers from per-command queues of
// statuses (the last status repeats). The fixed system files, the kernel name
// and the executable link are scripted; file tests under the test's own
// temporary directory reach the real file system, any other path is absent.
class FakeSystemCalls : public ISystemCalls
{
public:
    std::vector<std::string> commands;
    std::map<std::string, std::deque<int>> statuses; // default status 1
    std::vector<unsigned int> sleeps;
    std::optional<std::string> exeLink; // unset: readlink fails
    std::optional<std::string> cwd;     // unset: the real working directory
    std::string sysname = "Linux";
    std::map<std::string, std::string> systemFiles;
    std::string realRoot; // paths under it go to the real file system
    std::set<std::string> loadable;
    std::vector<std::pair<std::string, int>> dlopens;
    std::vector<void*> dlcloses;
    std::vector<std::string> chdirs;

    int RunShell(const std::string& command) override
    {
        commands.push_back(command);
        auto it = statuses.find(command);
        if (it == statuses.end() || it->second.empty()) {
            return 1;
        }
        int status = it->second.front();
        if (it->second.size() > 1) {
            it->second.pop_front();
        }
        return status;
    }
    ssize_t ReadLink(const char*, char* buf, size_t size) override
    {
        if (!exeLink) {
            return -1;
        }
        size_t n = std::min(size, exeLink->size());
        std::memcpy(buf, exeLink->data(), n);
        return static_cast<ssize_t>(n);
    }
    char* GetCwd(char* buf, size_t size) override
    {
        if (!cwd) {
            return RealSystemCalls().GetCwd(buf, size);
        }
        if (cwd->size() + 1 > size) {
            return nullptr;
        }
        std::memcpy(buf, cwd->c_str(), cwd->size() + 1);
        return buf;
    }
    int ChDir(const char* dir) override
    {
        chdirs.push_back(dir);
        return RealSystemCalls().ChDir(dir);
    }
    bool KernelName(std::string& name) override
    {
        name = sysname;
        return true;
    }
    void SleepSeconds(unsigned int seconds) override { sleeps.push_back(seconds); }
    bool CanOpenForReading(const std::string& path) override
    {
        if (systemFiles.count(path) != 0) {
            return true;
        }
        if (!realRoot.empty() && path.compare(0, realRoot.size(), realRoot) == 0) {
            return RealSystemCalls().CanOpenForReading(path);
        }
        return false;
    }
    bool ReadFirstLine(const std::string& path, char* buf, size_t size) override
    {
        auto it = systemFiles.find(path);
        if (it == systemFiles.end()) {
            return false;
        }
        std::string line = it->second.substr(0, it->second.find('\n'));
        line = line.substr(0, size - 1);
        std::memcpy(buf, line.c_str(), line.size() + 1);
        return true;
    }
    void* DlOpen(const char* name, int flags) override
    {
        dlopens.emplace_back(name, flags);
        return loadable.count(name) != 0 ? reinterpret_cast<void*>(0x1000 + dlopens.size())
                                         : nullptr;
    }
    void* DlSym(void*, const char* symbol) override
    {
        return std::strcmp(symbol, "present") == 0 ? reinterpret_cast<void*>(0x2000) : nullptr;
    }
    int DlClose(void* handle) override
    {
        dlcloses.push_back(handle);
        return 0;
    }
};

class PlatformTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CLinuxImpl::ResetStateForTesting();
        CLogger::ResetForTesting();
        sys.realRoot = tmp.path();
    }
    void TearDown() override
    {
        CLinuxImpl::ResetStateForTesting();
        CLogger::ResetForTesting();
    }

    // Debug lines written during the test, once logging was started.
    std::string startLog()
    {
        std::string path = tmp.file("trace.log");
        CLogger::GetInstance()->Initialize(path);
        return path;
    }

    TempDir tmp;
    std::shared_ptr<FakeSystemCalls> sysPtr = std::make_shared<FakeSystemCalls>();
    FakeSystemCalls& sys = *sysPtr;
    CLinuxImpl impl{sysPtr};
};

// ---- directories ----------------------------------------------------------

TEST_F(PlatformTest, ProcessDirectoryIsTheExecutablesFolderWithOneSlash)
{
    sys.cwd = "/work/here";
    struct Case {
        std::string link;
        std::string expected;
    };
    // The longest link accepted: one byte short of filling what readlink is offered.
    const std::string longest(CLinuxImpl::kPathBufferSize - 5, 'x');
    const Case cases[] = {
        {"/opt/pkg/prog", "/opt/pkg/"},
        {"/prog", "/"},
        {"/a/b/prog (deleted)", "/a/b/"},
        {"/" + longest + "/p", "/" + longest + "/"},
    };
    for (const Case& c : cases) {
        sys.exeLink = c.link;
        EXPECT_EQ(impl.getCurrentProcessDirectory(), c.expected) << c.link;
    }
}

TEST_F(PlatformTest, ProcessDirectoryFallsBackToWorkingDirectory)
{
    std::string log = startLog();
    sys.cwd = "/work/here";
    struct Case {
        const char* what;
        std::optional<std::string> link;
    };
    const Case cases[] = {
        {"unreadable link", std::nullopt},
        // Fills every byte offered: may have been cut, so not trusted.
        {"link filling the buffer", "/" + std::string(CLinuxImpl::kPathBufferSize - 2, 'd')},
        {"link longer than the buffer",
         "/" + std::string(3 * CLinuxImpl::kPathBufferSize, 'd') + "/prog"},
    };
    for (const Case& c : cases) {
        sys.exeLink = c.link;
        EXPECT_EQ(impl.getCurrentProcessDirectory(), "/work/here/") << c.what;
    }
    EXPECT_THAT(
        foundationtest::readFile(log),
        ::testing::HasSubstr("CLinuxImpl::getCurrentProcessDirectory() failed via readlink\n"));
}

TEST_F(PlatformTest, WorkingDirectoryGetsSlashOrRootWhenUnreadable)
{
    sys.cwd = "/srv/pkg";
    EXPECT_EQ(impl.getCurrentDirectory(), "/srv/pkg/");
    sys.cwd = std::string(CLinuxImpl::kPathBufferSize - 1, 'w'); // fits with its terminator
    EXPECT_EQ(impl.getCurrentDirectory(), *sys.cwd + "/");
    sys.cwd = std::string(CLinuxImpl::kPathBufferSize, 'w');
    EXPECT_EQ(impl.getCurrentDirectory(), "/");
}

TEST_F(PlatformTest, RealWorkingDirectoryIsRead)
{
    TempDir inside(true);
    CLinuxImpl real;
    EXPECT_EQ(std::filesystem::path(real.getCurrentDirectory()),
              std::filesystem::canonical(inside.path()) / "");
}

TEST_F(PlatformTest, SetCurrentDirectoryReportsFailure)
{
    TempDir inside(true); // restores the working directory afterwards
    EXPECT_FALSE(impl.setCurrentDirectory(tmp.file("missing")));
    EXPECT_TRUE(impl.setCurrentDirectory(tmp.path()));
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(tmp.path()));
}

// ---- listings and file tests -----------------------------------------------

TEST_F(PlatformTest, FileListHoldsEveryEntryButDotAndDotDot)
{
    std::string dir = tmp.file("payload");
    std::filesystem::create_directory(dir);
    std::ofstream(dir + "/a.bin").put('a');
    std::ofstream(dir + "/b.bin").put('b');
    EXPECT_THAT(impl.GetFileList(dir), UnorderedElementsAre(dir + "/a.bin", dir + "/b.bin"));

    std::filesystem::create_directory(dir + "/sub");
    std::ofstream(dir + "/.hidden").put('h');
    EXPECT_THAT(impl.GetFileList(dir), UnorderedElementsAre(dir + "/a.bin", dir + "/b.bin",
                                                            dir + "/sub", dir + "/.hidden"));
    EXPECT_THAT(impl.GetFileListName(dir),
                UnorderedElementsAre("a.bin", "b.bin", "sub", ".hidden"));
}

TEST_F(PlatformTest, FileListOfMissingDirectoryIsEmpty)
{
    EXPECT_THAT(impl.GetFileList(tmp.file("nowhere")), IsEmpty());
    EXPECT_THAT(impl.GetFileListName(tmp.file("nowhere")), IsEmpty());
    tmp.write("plain", "x");
    EXPECT_THAT(impl.GetFileList(tmp.file("plain")), IsEmpty());
}

TEST_F(PlatformTest, FileListOfEmptyNameListsWorkingDirectoryRelatively)
{
    TempDir inside(true);
    inside.write("x.bin", "x");
    EXPECT_THAT(impl.GetFileList(""), ElementsAre("./x.bin"));
    EXPECT_THAT(impl.GetFileListName(""), ElementsAre("x.bin"));
}

TEST_F(PlatformTest, FileExistsRelativeToWorkingDirectory)
{
    std::string log = startLog();
    sys.cwd = tmp.path();
    EXPECT_FALSE(impl.IsFileExits("package.xml"));
    tmp.write("package.xml", "");
    EXPECT_TRUE(impl.IsFileExits("package.xml"));
    // An absolute name is still taken relative to the working directory.
    EXPECT_FALSE(impl.IsFileExits(tmp.file("package.xml")));
    EXPECT_TRUE(impl.IsFileExistsAbs(tmp.file("package.xml")));

    std::string text = foundationtest::readFile(log);
    EXPECT_THAT(text, ::testing::HasSubstr("CLinuxImpl::IsFileExistsAbs() File name " + tmp.path() +
                                           "/package.xml exist\n"));
    EXPECT_THAT(text, ::testing::HasSubstr("CLinuxImpl::IsFileExistsAbs() File name " + tmp.path() +
                                           "/package.xml doesnt exist\n"));
}

TEST_F(PlatformTest, MarkerFileIsCreatedEmptyAndTruncated)
{
    TempDir inside(true);
    EXPECT_TRUE(CPlatformLayer::CreateEmptyZUKDebuLogFile());
    ASSERT_TRUE(foundationtest::exists(inside.file("zukdebuglog")));
    EXPECT_EQ(std::filesystem::file_size(inside.file("zukdebuglog")), 0u);

    inside.write("zukdebuglog", "old content");
    EXPECT_TRUE(CPlatformLayer::CreateEmptyZUKDebuLogFile());
    EXPECT_EQ(std::filesystem::file_size(inside.file("zukdebuglog")), 0u);
}

TEST_F(PlatformTest, MarkerFileThatCannotBeCreatedIsReported)
{
    TempDir inside(true);
    std::filesystem::create_directory(inside.file("zukdebuglog"));
    EXPECT_FALSE(CPlatformLayer::CreateEmptyZUKDebuLogFile());
}

// ---- shell and sleep --------------------------------------------------------

TEST_F(PlatformTest, CommandsGoToTheShellUnchangedWithRawStatus)
{
    sys.statuses["ls /x"] = {256};
    sys.statuses["daemon &"] = {0};
    EXPECT_EQ(impl.ExecuteCmd("ls /x", true, 5), 256);
    EXPECT_EQ(impl.ExecuteCmdNoWait("daemon", false, 0), 0);
    EXPECT_THAT(sys.commands, ElementsAre("ls /x", "daemon &"));
}

TEST_F(PlatformTest, SleepWaitsWholeSecondsAndNeverNegative)
{
    impl.Sleep(3);
    impl.Sleep(0);
    impl.Sleep(-1);
    EXPECT_THAT(sys.sleeps, ElementsAre(3u));
}

// ---- USB storage policy -----------------------------------------------------

struct USBCase {
    const char* what;
    std::map<std::string, std::deque<int>> statuses;
    bool blocklisted;
    std::vector<std::string> checkCommands;
    bool unloadsModule;
};

// Cases print as their description in test listings.
void PrintTo(const USBCase& c, std::ostream* os)
{
    *os << c.what;
}

class USBPolicyTest : public PlatformTest, public ::testing::WithParamInterface<USBCase>
{
};

TEST_P(USBPolicyTest, ChecksOnceAndUnloadsOnlyWhatItLoaded)
{
    const USBCase& c = GetParam();
    sys.statuses = c.statuses;
    sys.statuses[kRmmod] = {0};

    EXPECT_EQ(impl.isUSBblocklisted(), c.blocklisted);
    EXPECT_EQ(sys.commands, c.checkCommands);

    // A second check runs only the built-in test and gives the same answer.
    sys.commands.clear();
    EXPECT_EQ(impl.isUSBblocklisted(), c.blocklisted);
    EXPECT_EQ(sys.commands, std::vector<std::string>{kBuiltIn});

    sys.commands.clear();
    impl.unloadUSB();
    EXPECT_EQ(sys.commands,
              c.unloadsModule ? std::vector<std::string>{kRmmod} : std::vector<std::string>{});

    // The next check starts afresh.
    sys.statuses = c.statuses;
    sys.commands.clear();
    impl.isUSBblocklisted();
    EXPECT_EQ(sys.commands, c.checkCommands);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, USBPolicyTest,
    ::testing::Values(
        USBCase{"already loaded", {{kLsmod, {0}}}, false, {kBuiltIn, kLsmod}, false},
        USBCase{"loaded by us",
                {{kLsmod, {1, 0}}, {kModprobe, {0}}},
                false,
                {kBuiltIn, kLsmod, kModprobe, kLsmod},
                true},
        USBCase{"modprobe fails", {{kModprobe, {1}}}, true, {kBuiltIn, kLsmod, kModprobe}, false},
        USBCase{"modprobe succeeds but module absent",
                {{kModprobe, {0}}},
                true,
                {kBuiltIn, kLsmod, kModprobe, kLsmod},
                false}));

TEST_F(PlatformTest, BuiltInDriverIsNeverBlocklistedNorUnloaded)
{
    sys.statuses[kBuiltIn] = {0};
    EXPECT_FALSE(impl.isUSBblocklisted());
    EXPECT_FALSE(impl.isUSBblocklisted());
    impl.unloadUSB();
    EXPECT_THAT(sys.commands, ElementsAre(kBuiltIn, kBuiltIn));
}

TEST_F(PlatformTest, VMwareSystemsSkipTheCheck)
{
    struct Case {
        const char* sysname;
        const char* release; // nullptr: no release file
        bool skipped;
    };
    const Case cases[] = {
        {"VMkernel", nullptr, true},
        {"vmkernel", nullptr, true},
        {"Linux", "VMware ESX Server 3 (Dali)\n", true},
        {"Linux", "VMware ESX 4.1 (Kandinsky)", true},
        {"Linux", "VMWARE ESX 4.0", true},
        {"Linux", "VMware Workstation 17", false},
        {"Linux", "", false},
        {"Linux", nullptr, false},
    };
    for (const Case& c : cases) {
        CLinuxImpl::ResetStateForTesting();
        sys.commands.clear();
        sys.systemFiles.clear();
        sys.sysname = c.sysname;
        if (c.release != nullptr) {
            sys.systemFiles["/etc/vmware-release"] = c.release;
        }
        sys.statuses[kLsmod] = {0};
        EXPECT_FALSE(impl.isUSBblocklisted());
        EXPECT_EQ(sys.commands.empty(), c.skipped)
            << c.sysname << " / " << (c.release ? c.release : "-");
    }
}

TEST_F(PlatformTest, UnloadGivesUpAfter59AttemptsOneSecondApart)
{
    std::string log = startLog();
    sys.statuses[kLsmod] = {1, 0};
    sys.statuses[kModprobe] = {0};
    sys.statuses[kRmmod] = {1};
    impl.isUSBblocklisted();
    sys.commands.clear();

    impl.unloadUSB();
    EXPECT_EQ(sys.commands, std::vector<std::string>(59, kRmmod));
    EXPECT_EQ(sys.sleeps, std::vector<unsigned int>(59, 1u));
    EXPECT_FALSE(CLinuxImpl::bUSBDriverLoadedByZUK);

    // Given up: a later teardown does not try again.
    sys.commands.clear();
    impl.unloadUSB();
    EXPECT_THAT(sys.commands, IsEmpty());
    EXPECT_THAT(foundationtest::readFile(log),
                ::testing::HasSubstr(" CLinuxImpl::unloadUSB is not required.\n"));
}

TEST_F(PlatformTest, UnloadStopsAtFirstSuccess)
{
    sys.statuses[kLsmod] = {1, 0};
    sys.statuses[kModprobe] = {0};
    sys.statuses[kRmmod] = {1, 1, 0};
    impl.isUSBblocklisted();
    sys.commands.clear();

    impl.unloadUSB();
    EXPECT_EQ(sys.commands, std::vector<std::string>(3, kRmmod));
    EXPECT_EQ(sys.sleeps, std::vector<unsigned int>(2, 1u));
}

TEST_F(PlatformTest, UnloadWithoutCheckRunsNothing)
{
    impl.unloadUSB();
    EXPECT_THAT(sys.commands, IsEmpty());
    EXPECT_THAT(sys.sleeps, IsEmpty());
}

// ---- dynamic libraries ------------------------------------------------------

TEST_F(PlatformTest, LibraryPathMustExistBareNameGoesToLoader)
{
    tmp.write("libthere.so", "");
    sys.loadable = {"libbare.so", tmp.file("libthere.so")};

    EXPECT_EQ(impl.LoadLibrary(tmp.file("libmissing.so")), nullptr);
    EXPECT_THAT(sys.dlopens, IsEmpty()); // never handed to the loader

    EXPECT_NE(impl.LoadLibrary(tmp.file("libthere.so")), nullptr);
    EXPECT_NE(impl.LoadLibrarywithoutCustomization("libbare.so"), nullptr);
    EXPECT_EQ(impl.LoadLibrary("libabsent.so"), nullptr);
    EXPECT_EQ(impl.LoadLibrary(""), nullptr);
    using Open = std::pair<std::string, int>;
    EXPECT_THAT(sys.dlopens,
                ElementsAre(Open{tmp.file("libthere.so"), RTLD_NOW}, Open{"libbare.so", RTLD_NOW},
                            Open{"libabsent.so", RTLD_NOW}));
}

TEST_F(PlatformTest, NullHandlesAreNotPassedToTheLoader)
{
    EXPECT_EQ(impl.GetProcAddress(nullptr, "present"), nullptr);
    impl.FreeLibrary(nullptr);
    EXPECT_THAT(sys.dlcloses, IsEmpty());

    void* handle = reinterpret_cast<void*>(0x1234);
    EXPECT_NE(impl.GetProcAddress(handle, "present"), nullptr);
    EXPECT_EQ(impl.GetProcAddress(handle, "absent"), nullptr);
    impl.FreeLibrary(handle);
    EXPECT_THAT(sys.dlcloses, ElementsAre(handle));
}

TEST_F(PlatformTest, RealLoaderRoundTrip)
{
    CLinuxImpl real;
    void* handle = real.LoadLibrary("libm.so.6");
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(real.GetProcAddress(handle, "cos"), nullptr);
    EXPECT_EQ(real.GetProcAddress(handle, "no_such_symbol_here"), nullptr);
    real.FreeLibrary(handle);
}

TEST_F(PlatformTest, HardwareLibraryIsLookedUpInThePackageDirectory)
{
    struct Case {
        const char* sysname;
        std::string present; // the one copy that exists, or empty
        bool installed;
    };
    const Case cases[] = {
        {"Linux", "/opt/vantor/zuk64/lib/librkipm64.so", true},
        {"Linux", "/opt/vantor/zuk64/lib/librkipm.so", true},
        {"VMkernel", "/scratch/opt/vantor/zuk/lib/librkipm.so", true},
        {"VMkernel", "/opt/vantor/zuk64/lib/librkipm.so", false},
        {"Linux", "", false},
    };
    for (const Case& c : cases) {
        sys.sysname = c.sysname;
        sys.systemFiles.clear();
        sys.loadable.clear();
        sys.dlcloses.clear();
        if (!c.present.empty()) {
            sys.systemFiles[c.present] = "";
            sys.loadable.insert(c.present);
        }
        EXPECT_EQ(impl.isHYLOInstalled(), c.installed) << c.sysname << " " << c.present;
        // Only a probe: whatever was loaded is released again.
        EXPECT_EQ(sys.dlcloses.size(), c.installed ? 1u : 0u);
    }
}

TEST_F(PlatformTest, HardwareLibraryLoadFallsBackToLoaderSearch)
{
    sys.loadable = {"libx.so"};
    EXPECT_NE(impl.LoadHyloLibrary("libx.so"), nullptr);
    sys.systemFiles["/opt/vantor/zuk64/lib/liby.so"] = "";
    sys.loadable.insert("/opt/vantor/zuk64/lib/liby.so");
    sys.dlopens.clear();
    EXPECT_NE(impl.LoadHyloLibrary("liby.so"), nullptr);
    EXPECT_EQ(sys.dlopens.size(), 1u);
}

TEST_F(PlatformTest, InstallIsReferenceCounted)
{
    sys.exeLink = "/pkg/prog";
    const std::string install = "/pkg//zukmarloinstall.sh install";
    const std::string uninstall = "/pkg//zukmarloinstall.sh uninstall";
    sys.statuses[install] = {0};
    sys.statuses[uninstall] = {0};

    EXPECT_FALSE(impl.InstallHylo());
    EXPECT_FALSE(impl.InstallHylo());
    EXPECT_THAT(sys.commands, ElementsAre(install));

    EXPECT_TRUE(impl.UninstallHylo());
    EXPECT_THAT(sys.commands, ElementsAre(install)); // still in use
    EXPECT_TRUE(impl.UninstallHylo());
    EXPECT_THAT(sys.commands, ElementsAre(install, uninstall));

    // An unmatched uninstall neither runs the script nor swallows the next install.
    EXPECT_TRUE(impl.UninstallHylo());
    EXPECT_FALSE(impl.InstallHylo());
    EXPECT_THAT(sys.commands, ElementsAre(install, uninstall, install));
}

TEST_F(PlatformTest, PresentLibraryIsNeitherInstalledNorRemoved)
{
    sys.exeLink = "/pkg/prog";
    sys.systemFiles["/opt/vantor/zuk64/lib/librkipm.so"] = "";
    sys.loadable = {"/opt/vantor/zuk64/lib/librkipm.so"};
    EXPECT_FALSE(impl.InstallHylo());
    EXPECT_TRUE(impl.UninstallHylo());
    EXPECT_THAT(sys.commands, IsEmpty());
}

TEST_F(PlatformTest, FailedInstallIsUnavailableUnlessSuiteCopyExists)
{
    sys.exeLink = "/pkg/prog";
    EXPECT_TRUE(impl.InstallHylo()); // script fails, no other copy
    EXPECT_TRUE(impl.InstallHylo()); // nested call reports the same
    CLinuxImpl::ResetStateForTesting();
    sys.systemFiles["/opt/vantor/pelaadm/lib/librkipm64.so"] = "";
    EXPECT_FALSE(impl.InstallHylo());
}

// ---- facade ----------------------------------------------------------------

class MockPlatform : public IPlatformImpl
{
public:
    MOCK_METHOD(bool, isHYLOInstalled, (), (override));
    MOCK_METHOD(bool, InstallHylo, (), (override));
    MOCK_METHOD(bool, UninstallHylo, (), (override));
    MOCK_METHOD(void*, LoadLibrary, (const std::string&), (override));
    MOCK_METHOD(void, FreeLibrary, (void*), (override));
    MOCK_METHOD(void*, GetProcAddress, (void*, const std::string&), (override));
    MOCK_METHOD(int, ExecuteCmd, (const std::string&, bool, const long&), (override));
    MOCK_METHOD(int, ExecuteCmdNoWait, (const std::string&, bool, const long&), (override));
    MOCK_METHOD(void, Sleep, (int), (override));
    MOCK_METHOD(std::string, getCurrentDirectory, (), (override));
    MOCK_METHOD(std::string, getCurrentProcessDirectory, (), (override));
    MOCK_METHOD(bool, setCurrentDirectory, (const std::string&), (override));
    MOCK_METHOD(std::vector<std::string>, GetFileList, (const std::string&), (override));
    MOCK_METHOD(std::vector<std::string>, GetFileListName, (const std::string&), (override));
    MOCK_METHOD(bool, IsFileExits, (const std::string&), (override));
    MOCK_METHOD(bool, IsFileExistsAbs, (const std::string&), (override));
    MOCK_METHOD(void*, LoadHyloLibrary, (const std::string&), (override));
    MOCK_METHOD(bool, isUSBblocklisted, (), (override));
    MOCK_METHOD(void, unloadUSB, (), (override));
    MOCK_METHOD(void*, LoadLibrarywithoutCustomization, (const std::string&), (override));
};

TEST(PlatformFacadeTest, ForwardsToTheInstalledImplementation)
{
    MockPlatform mock;
    IPlatformImpl* previous = CPlatformLayer::SetPlatformSeams(&mock);
    void* lib = reinterpret_cast<void*>(0x10);
    EXPECT_CALL(mock, LoadLibrary("a.so")).WillOnce(::testing::Return(lib));
    EXPECT_CALL(mock, LoadLibrarywithoutCustomization("b.so")).WillOnce(::testing::Return(nullptr));
    EXPECT_CALL(mock, ExecuteCmd("true", true, 0L)).WillOnce(::testing::Return(0));
    EXPECT_CALL(mock, getCurrentProcessDirectory()).WillOnce(::testing::Return("/pkg/"));
    EXPECT_CALL(mock, unloadUSB());

    EXPECT_EQ(CPlatformLayer::Load_Library("a.so"), lib);
    EXPECT_EQ(CPlatformLayer::Load_Library_without_Customization("b.so"), nullptr);
    EXPECT_EQ(CPlatformLayer::ExecuteCmd("true"), 0);
    EXPECT_EQ(CPlatformLayer::getCurrentProcessDirectory(), "/pkg/");
    CPlatformLayer::unloadUSB();

    EXPECT_EQ(CPlatformLayer::SetPlatformSeams(previous), &mock);
}

TEST(PlatformFacadeTest, DefaultImplementationIsLinuxAndStays)
{
    IPlatformImpl* platform = CPlatformLayer::GetPlatform();
    EXPECT_NE(dynamic_cast<CLinuxImpl*>(platform), nullptr);
    EXPECT_EQ(CPlatformLayer::GetPlatform(), platform);
}

} // namespace
