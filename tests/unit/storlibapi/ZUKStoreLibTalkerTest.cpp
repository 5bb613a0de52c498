#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "FakeManifestVerifier.h"
#include "FakeStoreLibSystem.h"
#include "PackageFiles.h"
#include "ZUKStoreLibTalker.h"

namespace
{

using Bytes = std::vector<uint8_t>;

// Raw little-endian reads, independent of the record classes under test.
uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}
uint8_t* DataPtr(const uint8_t* record)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | record[32 + i];
    }
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(v));
}

const int kIT = ZUKStoreLibTalker::VARIANT_IT;

class TalkerTest : public ::testing::Test
{
protected:
    void SetUp() override { sys = std::make_shared<FakeStoreLibSystem>(); }

    // Installs the IT library as ./libstorelibit.so; every command is recorded
    // and answered with `result` (a scripted answer for the init step first).
    void AddIT(uint32_t initResult = 0, uint32_t result = 0)
    {
        sys->AddLibrary("./libstorelibit.so", "ProcessLibCommandIT", kIT,
                        [this, initResult, result](uint8_t* rec) {
                            records.emplace_back(rec, rec + 40);
                            if (rec[0] == 0) {
                                return rec[1] == 0 ? initResult : 0u; // init, exit
                            }
                            if (onRecord) {
                                return onRecord(rec);
                            }
                            return result;
                        });
    }

    std::shared_ptr<FakeStoreLibSystem> sys;
    std::vector<Bytes> records;
    std::function<uint32_t(uint8_t*)> onRecord;
};

TEST_F(TalkerTest, InitLibRecordIsBuiltAtItsOffsetsAndSentWithoutExtraInit)
{
    AddIT();
    StoreLibLogCapture log;
    _SL_CTRL_LIST_T list;
    {
        ZUKStoreLibTalker talker(sys);
        EXPECT_EQ(0u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    }
    ASSERT_EQ(2u, records.size()); // the init itself, then the exit command
    const Bytes& r = records[0];
    Bytes expected(40, 0);
    expected[2] = 1;    // AppsSupportEXTConfig
    expected[7] = 0x05; // controller ID 0x05000000, little-endian
    expected[28] = 0x04;
    expected[29] = 0x01; // 260
    std::memcpy(&expected[32], &r[32], 8);
    EXPECT_EQ(expected, r);
    EXPECT_EQ(list.bytes(), DataPtr(r.data()));
    EXPECT_EQ((std::vector<std::string>{"./libstorelibit.so"}), sys->opened);
    EXPECT_TRUE(log.has("ZUKStoreLibTalker::ProcessLibCommand: Loading a StoreLib"));
    EXPECT_TRUE(
        log.has("ZUKStoreLibTalker::ProcessLibCommand: SL_INIT_LIB Enabling AppsSupportEXTConfig"));
}

TEST_F(TalkerTest, FirstDeviceCommandInitialisesTheLibraryFirst)
{
    AddIT();
    ZUKStoreLibTalker talker(sys);
    uint8_t list[6152] = {};
    EXPECT_EQ(0u, talker.doProcessLibCommand(1, 4, 0x05000003, 0x1234, list, sizeof(list), 255));
    EXPECT_EQ(0u, talker.doProcessLibCommand(1, 4, 0x05000003, 0x1234, list, sizeof(list), 255));

    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(0, records[0][1]);
    EXPECT_EQ(1, records[0][2]);
    EXPECT_EQ(260u, Le32(&records[0][28]));
    for (int i : {1, 2}) {
        const Bytes& r = records[i];
        EXPECT_EQ(1, r[0]);
        EXPECT_EQ(4, r[1]);
        EXPECT_EQ(0, r[2]);
        EXPECT_EQ(0x05000003u, Le32(&r[4]));
        EXPECT_EQ(0x1234, Le16(&r[8]));
        EXPECT_EQ(Bytes(6, 0), Bytes(r.begin() + 10, r.begin() + 16));
        EXPECT_EQ(Bytes(12, 0), Bytes(r.begin() + 16, r.begin() + 28));
        EXPECT_EQ(6152u, Le32(&r[28]));
        EXPECT_EQ(list, DataPtr(r.data()));
    }
    EXPECT_EQ(1, sys->openCount);
}

TEST_F(TalkerTest, FailedFirstInitIsReturnedAndTheCommandIsNotSent)
{
    AddIT(0x8003);
    StoreLibLogCapture log;
    ZUKStoreLibTalker talker(sys);
    uint8_t list[6152] = {};
    EXPECT_EQ(0x8003u, talker.doProcessLibCommand(1, 4, 0x05000000, 0, list, sizeof(list), 255));
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(0, records[0][1]);
    EXPECT_TRUE(log.has("ZUKStoreLibTalker::ProcessLibCommand: Init Library failed XX rc= 8003"));
}

struct RoutingCase {
    uint32_t ctrlId;
    int slot;
    const char* file;
    const char* symbol;
    uint32_t sentCtrlId;
};

// Cases print as the controller ID they route in test listings.
void PrintTo(const RoutingCase& c, std::ostream* os)
{
    char id[16];
    std::snprintf(id, sizeof(id), "0x%08X", c.ctrlId);
    *os << "controller " << id;
}

class TalkerRoutingTest : public TalkerTest, public ::testing::WithParamInterface<RoutingCase>
{
};

TEST_P(TalkerRoutingTest, TopByteSelectsTheVariantAndTopNibbleIsCleared)
{
    const RoutingCase& c = GetParam();
    sys->AddLibrary(c.file, c.symbol, c.slot, [this](uint8_t* rec) {
        records.emplace_back(rec, rec + 40);
        return 0u;
    });
    _SL_CTRL_LIST_T list;
    ZUKStoreLibTalker talker(sys);
    EXPECT_EQ(0u, talker.ProcessLibCommand(0, 0, c.ctrlId, nullptr, list.bytes(), 260, 0));
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(c.sentCtrlId, Le32(&records[0][4]));
    EXPECT_EQ(std::vector<std::string>{c.file}, sys->opened);
    EXPECT_EQ(std::vector<std::string>{c.symbol}, sys->symbolsLookedUp);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, TalkerRoutingTest,
    ::testing::Values(
        RoutingCase{0x00000007, 0, "./libstorelib.so", "ProcessLibCommand", 0x00000007},
        RoutingCase{0x01000002, 1, "./libstorelibir.so", "ProcessLibCommandIR", 0x01000002},
        RoutingCase{0x02000000, 2, "./libstorelibir-2.so", "ProcessLibCommandIR2", 0x02000000},
        RoutingCase{0x04000001, 3, "./libstorelibir-3.so", "ProcessLibCommandIR3", 0x04000001},
        RoutingCase{0x05000000, 4, "./libstorelibit.so", "ProcessLibCommandIT", 0x05000000},
        // Not an IT marker: the MR library gets it, with the top four bits gone.
        RoutingCase{0x15000007, 0, "./libstorelib.so", "ProcessLibCommand", 0x05000007},
        RoutingCase{0xF5000000, 0, "./libstorelib.so", "ProcessLibCommand", 0x05000000}));

TEST_F(TalkerTest, SystemLibraryIsTriedWhenTheLocalFileIsMissing)
{
    sys->AddLibrary("libstorelibit.so.07", "ProcessLibCommandIT", kIT, [](uint8_t*) { return 0u; });
    ZUKStoreLibTalker talker(sys);
    _SL_CTRL_LIST_T list;
    EXPECT_EQ(0u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    EXPECT_EQ((std::vector<std::string>{"./libstorelibit.so", "libstorelibit.so.07"}), sys->opened);
    EXPECT_EQ("", talker.LoadFailure());
}

// The user is told which files were tried and why none served; a later
// attempt that loads one leaves nothing to tell.
TEST_F(TalkerTest, LoadFailureNamesEveryFileTriedAndWhy)
{
    ZUKStoreLibTalker talker(sys);
    _SL_CTRL_LIST_T list;
    EXPECT_EQ("", talker.LoadFailure()) << "nothing tried yet";
    EXPECT_EQ(0x8002u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    EXPECT_EQ("./libstorelibit.so: the file is missing; libstorelibit.so.07: the file is missing",
              talker.LoadFailure());

    sys->AddLibrary("libstorelibit.so.07", "SomethingElse", kIT, [](uint8_t*) { return 0u; });
    EXPECT_EQ(0x8002u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    EXPECT_EQ("libstorelibit.so.07: it has no entry point ProcessLibCommandIT",
              talker.LoadFailure());

    AddIT();
    EXPECT_EQ(0u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    EXPECT_EQ("", talker.LoadFailure());
}

// The package's library failed its check against package.jcat (here on a
// host that trusts a signer and a package with no manifest): no library of
// the system's stands in for it, so nothing reaches a switch through the
// package's files.
TEST_F(TalkerTest, NoSystemLibraryStandsInForAPackageLibraryThatFailedItsCheck)
{
    char pattern[] = "/tmp/lumo_talker_trust_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    const std::string scratch = pattern;
    std::filesystem::create_directories(scratch + "/trust");
    std::ofstream(scratch + "/trust/maker.pem") << kFakeCertificate;
    const pkgtrust::SSeams previous =
        pkgtrust::SetSeams(FakeTrustSeams(scratch + "/trust", std::make_shared<ManifestReaderLog>(),
                                          [](const std::string&) { return pkgtrust::SVerdict(); }));
    // As the real loader does before it refuses the library.
    EXPECT_NE("", pkgtrust::Check("libstorelibit.so", "ELF", 3));
    sys->AddLibrary("libstorelibit.so.07", "ProcessLibCommandIT", kIT, [](uint8_t*) { return 0u; });
    ZUKStoreLibTalker talker(sys);
    _SL_CTRL_LIST_T list;
    EXPECT_EQ(0x8002u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    EXPECT_EQ((std::vector<std::string>{"./libstorelibit.so"}), sys->opened);
    pkgtrust::SetSeams(previous);
    std::filesystem::remove_all(scratch);
}

TEST_F(TalkerTest, MissingLibraryAnswers8002AndIsRetriedOnEveryCommand)
{
    StoreLibLogCapture log;
    ZUKStoreLibTalker talker(sys);
    _SL_CTRL_LIST_T list;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0x8002u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    }
    EXPECT_EQ(2, log.countLines("ZUKStoreLibTalker::ProcessLibCommand: Init IT failed"));
    EXPECT_EQ(
        2,
        log.countLines(
            "ZUKStoreLibTalker::ProcessLibCommand: Unable to Load Library: libstorelibit.so.07"));
    EXPECT_EQ(4u, sys->opened.size());
    EXPECT_EQ(2, std::count(sys->commands.begin(), sys->commands.end(),
                            std::string("./doRPM.sh > /dev/null 2>&1")));
}

TEST_F(TalkerTest, MissingEntryPointAnswers8002AndClosesTheLibrary)
{
    sys->AddLibrary("./libstorelibit.so", "SomethingElse", kIT, [](uint8_t*) { return 0u; });
    StoreLibLogCapture log;
    ZUKStoreLibTalker talker(sys);
    _SL_CTRL_LIST_T list;
    EXPECT_EQ(0x8002u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    EXPECT_TRUE(log.has("ZUKStoreLibTalker::ProcessLibCommand: Init Library failed 2"));
    EXPECT_EQ(1, sys->closeCount);
}

struct OsCase {
    bool setuidOk;
    std::string sysname;
    std::string release; // empty: no /etc/vmware-release
    int osType;
    const char* firstFileTried;
};

// Cases print as the system they describe in test listings.
void PrintTo(const OsCase& c, std::ostream* os)
{
    const std::string release = c.release.substr(0, c.release.find('\n'));
    *os << c.sysname << (release.empty() ? ", no vmware-release" : ", " + release)
        << (c.setuidOk ? "" : ", setuid fails");
}

class TalkerOsTypeTest : public TalkerTest, public ::testing::WithParamInterface<OsCase>
{
};

TEST_P(TalkerOsTypeTest, OsTypeChoosesTheLibraryFile)
{
    const OsCase& c = GetParam();
    sys->setuidOk = c.setuidOk;
    sys->sysname = c.sysname;
    if (!c.release.empty()) {
        sys->firstLines["/etc/vmware-release"] = c.release;
    }
    ZUKStoreLibTalker talker(sys);
    EXPECT_EQ(c.osType, talker.getOSType());
    _SL_CTRL_LIST_T list;
    talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255);
    ASSERT_FALSE(sys->opened.empty());
    EXPECT_EQ(c.firstFileTried, sys->opened[0]);
    // On ESX nothing but the ESX file is tried.
    if (c.osType == 8 || c.osType == 14) {
        EXPECT_EQ(1u, sys->opened.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Systems, TalkerOsTypeTest,
    ::testing::Values(
        OsCase{true, "Linux", "", -1, "./libstorelibit.so"},
        OsCase{true, "vmKERNEL", "", 14, "ESX/libstorelibit.so"},
        OsCase{true, "Linux", "VMware ESX 4.1.0 build-260247\n", 8, "ESX/libstorelibit.so"},
        OsCase{true, "Linux", "VMware ESX Server 3 (Dali)\n", 6, "./libstorelibit.so"},
        OsCase{true, "Linux", "Something else\n", -1, "./libstorelibit.so"},
        OsCase{false, "VMkernel", "", -1, "./libstorelibit.so"}));

TEST_F(TalkerTest, PassThroughRecordCarriesHeaderCdbAndDataBothWays)
{
    AddIT();
    Bytes seen;
    uint32_t seenSize = 0;
    onRecord = [&](uint8_t* rec) {
        seenSize = Le32(rec + 28);
        uint8_t* pt = DataPtr(rec);
        seen.assign(pt, pt + seenSize);
        // The device answers: data area overwritten, status good.
        for (uint32_t i = 0; i < Le32(pt + 60); ++i) {
            pt[64 + i] = static_cast<uint8_t>(0xA0 + i);
        }
        return 0u;
    };
    ZUKStoreLibTalker talker(sys);
    const uint8_t cdb[6] = {0x12, 0x01, 0x80, 0x00, 0x1C, 0x00};
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(0u, talker.SCSIPassThrough(0x05000001, 0x0102, cdb, 6, buf, 4, 1));

    ASSERT_EQ(4u + 65u, seenSize);
    ASSERT_EQ(69u, seen.size());
    EXPECT_EQ(0x0102, Le16(&seen[0]));
    EXPECT_EQ(1, Le16(&seen[2]));
    EXPECT_EQ(1, seen[4]);
    EXPECT_EQ(30, Le16(&seen[8]));
    EXPECT_EQ(6, seen[11]);
    EXPECT_EQ(Bytes(cdb, cdb + 6), Bytes(seen.begin() + 12, seen.begin() + 18));
    EXPECT_EQ(Bytes(10, 0), Bytes(seen.begin() + 18, seen.begin() + 28));
    EXPECT_EQ(4u, Le32(&seen[60]));
    EXPECT_EQ((Bytes{1, 2, 3, 4, 0}), Bytes(seen.begin() + 64, seen.end()));
    // The pass-through command itself: type 6, command 0, device ID as parameter.
    const Bytes& r = records.back();
    EXPECT_EQ(6, r[0]);
    EXPECT_EQ(0, r[1]);
    EXPECT_EQ(0x05000001u, Le32(&r[4]));
    EXPECT_EQ(0x0102, Le16(&r[8]));
    // Read back whatever the direction.
    EXPECT_EQ((Bytes{0xA0, 0xA1, 0xA2, 0xA3}), Bytes(buf, buf + 4));
}

TEST_F(TalkerTest, PassThroughFromDeviceDoesNotSendTheCallersBytes)
{
    AddIT();
    Bytes sentData;
    onRecord = [&](uint8_t* rec) {
        uint8_t* pt = DataPtr(rec);
        sentData.assign(pt + 64, pt + 64 + Le32(pt + 60));
        return 0u;
    };
    ZUKStoreLibTalker talker(sys);
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 3, 0};
    uint8_t buf[3] = {9, 9, 9};
    EXPECT_EQ(0u, talker.SCSIPassThrough(0x05000000, 1, cdb, 6, buf, 3, 2));
    EXPECT_EQ(Bytes(3, 0), sentData);
}

TEST_F(TalkerTest, CheckConditionReturnsStatusAndLogsSense)
{
    AddIT();
    onRecord = [](uint8_t* rec) {
        uint8_t* pt = DataPtr(rec);
        pt[10] = 2;
        for (int i = 0; i < 32; ++i) {
            pt[28 + i] = static_cast<uint8_t>(i == 0 ? 0x70 : (i == 2 ? 5 : 0));
        }
        return 0u;
    };
    StoreLibLogCapture log;
    ZUKStoreLibTalker talker(sys);
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 0x3C, 0};
    uint8_t buf[60] = {};
    EXPECT_EQ(2u, talker.SCSIPassThrough(0x05000000, 1, cdb, 6, buf, 60, 2));
    EXPECT_TRUE(log.has("ZUKStoreLibTalker::SCSIPassThrough: GOOD calling ProcessLibCommand"));
    EXPECT_TRUE(log.has("ZUKStoreLibTalker::SCSIPassThrough: GOOD RC: but non-zero SCSIStatus=2"));
    EXPECT_TRUE(log.has("ZUKStoreLibTalker::SCSIPassThrough: SenseData="));
    std::string sense = "112:0:5:";
    for (int i = 3; i < 32; ++i) {
        sense += "0:";
    }
    EXPECT_EQ(1, log.countLines(sense));
}

TEST_F(TalkerTest, LibraryErrorOnPassThroughIsReturnedInHex)
{
    AddIT(0, 0x4021);
    StoreLibLogCapture log;
    ZUKStoreLibTalker talker(sys);
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 0x3C, 0};
    uint8_t buf[60] = {};
    EXPECT_EQ(0x4021u, talker.SCSIPassThrough(0x05000000, 1, cdb, 6, buf, 60, 2));
    EXPECT_TRUE(log.has("ZUKStoreLibTalker::SCSIPassThrough: non-zero retval = 4021"));
}

TEST_F(TalkerTest, OversizedCdbIsRefusedBeforeAnythingIsSent)
{
    AddIT();
    ZUKStoreLibTalker talker(sys);
    uint8_t cdb[17] = {};
    uint8_t buf[1] = {};
    EXPECT_EQ(3u, talker.SCSIPassThrough(0x05000000, 1, cdb, 17, buf, 1, 2));
    EXPECT_TRUE(records.empty());
}

TEST_F(TalkerTest, FlashAndControllerCommandsFillTheirCommandWord)
{
    AddIT();
    ZUKStoreLibTalker talker(sys);
    talker.setDowngrade(true);
    uint8_t data[4] = {};
    talker.doProcessLibCommand(1, 3, 0x05000000, 0, data, 4, 7);
    talker.doProcessLibCommand(1, 22, 0x05000000, 0, data, 4, 255);
    talker.setDowngrade(false);
    talker.doProcessLibCommand(1, 3, 0x05000000, 0, data, 4, 255);
    ASSERT_EQ(4u, records.size()); // init first
    EXPECT_EQ(7, records[1][16]);
    EXPECT_EQ(1, records[1][17]);
    EXPECT_EQ(20u, Le32(&records[2][16]));
    EXPECT_EQ(0, records[3][16]); // 255 means no option
    EXPECT_EQ(0, records[3][17]);
}

TEST_F(TalkerTest, ExitSendsExitToEveryLoadedVariantAndClosesThem)
{
    std::vector<int> exitsSeen;
    for (int slot : {0, kIT}) {
        const char* file = slot == 0 ? "./libstorelib.so" : "./libstorelibit.so";
        const char* symbol = slot == 0 ? "ProcessLibCommand" : "ProcessLibCommandIT";
        sys->AddLibrary(file, symbol, slot, [&exitsSeen, slot](uint8_t* rec) {
            if (rec[1] == 9) {
                Bytes expected(40, 0);
                expected[1] = 9;
                EXPECT_EQ(expected, Bytes(rec, rec + 40));
                exitsSeen.push_back(slot);
                return slot == 0 ? 1u : 0u;
            }
            return 0u;
        });
    }
    StoreLibLogCapture log;
    {
        ZUKStoreLibTalker talker(sys);
        _SL_CTRL_LIST_T list;
        talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255);
        talker.doProcessLibCommand(0, 0, 0x00000000, 0, list.bytes(), 260, 255);
    }
    EXPECT_EQ((std::vector<int>{0, kIT}), exitsSeen);
    EXPECT_EQ(2, sys->closeCount);
    const std::string text = log.contents();
    const char* ordered[] = {"ZUKStoreLibTalker::ExitLibrary: Exiting libraries",
                             "ZUKStoreLibTalker::ExitLibrary: Exiting storelib",
                             "ZUKStoreLibTalker::ExitLibrary: Error when exiting storelib lib",
                             "ZUKStoreLibTalker::ExitLibrary: Exiting storelibit",
                             "ZUKStoreLibTalker::ExitLibrary: Freeing dlls",
                             "ZUKStoreLibTalker::ExitLibrary: Freeing storelib dll",
                             "ZUKStoreLibTalker::ExitLibrary: Freeing storelibit dll",
                             "ZUKStoreLibTalker::ExitLibrary: no need to remove utils RPM"};
    size_t pos = 0;
    for (const char* line : ordered) {
        const size_t at = text.find(line, pos);
        ASSERT_NE(std::string::npos, at) << line;
        pos = at + 1;
    }
    EXPECT_EQ("rm rpm_rc > /dev/null 2>&1", sys->commands.back());
}

TEST_F(TalkerTest, UtilitiesInstalledByThisRunAreRemovedAtExit)
{
    AddIT();
    sys->onCommand = [this](const std::string& cmd) {
        if (cmd == "./doRPM.sh > /dev/null 2>&1") {
            sys->files.insert("./rpm_rc");
        }
    };
    sys->commandStatus["rpm -e pelaadm-storelib-sysfs.x86_64 > /dev/null 2>&1"] = 256;
    StoreLibLogCapture log;
    ZUKStoreLibTalker talker(sys);
    _SL_CTRL_LIST_T list;
    talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255);
    EXPECT_TRUE(talker.getNeedRemoveUtilsRpm());
    EXPECT_TRUE(log.has(
        "ZUKStoreLibTalker::installStorelibLibUtils: RPM NOT already installed, Returning true"));
    EXPECT_EQ(256, talker.ExitLibrary());
    EXPECT_TRUE(log.has("ZUKStoreLibTalker::ExitLibrary: removing utils RPM"));
    EXPECT_EQ("rpm -e pelaadm-storelib-sysfs.x86_64 > /dev/null 2>&1", sys->commands.back());
}

// Run from another working directory, the package's own script, marker and
// library are used, never files of the same names where the program stands.
TEST_F(TalkerTest, PackageFilesComeFromThePackageFolderWhateverTheWorkingDirectory)
{
    sys->packageDir = "/opt/lumo pkg/";
    sys->AddLibrary("/opt/lumo pkg/libstorelibit.so", "ProcessLibCommandIT", kIT,
                    [](uint8_t*) { return 0u; });
    sys->onCommand = [this](const std::string& cmd) {
        if (cmd == "cd '/opt/lumo pkg/' && ./doRPM.sh > /dev/null 2>&1") {
            sys->files.insert("/opt/lumo pkg/rpm_rc");
        }
    };
    ZUKStoreLibTalker talker(sys);
    _SL_CTRL_LIST_T list;
    EXPECT_EQ(0u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    EXPECT_EQ((std::vector<std::string>{"/opt/lumo pkg/libstorelibit.so"}), sys->opened);
    EXPECT_TRUE(talker.getNeedRemoveUtilsRpm());

    sys->files.clear();
    sys->onCommand = nullptr;
    ZUKStoreLibTalker second(sys);
    second.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255);
    second.ExitLibrary();
    EXPECT_EQ("rm '/opt/lumo pkg/rpm_rc' > /dev/null 2>&1", sys->commands.back());
}

TEST_F(TalkerTest, AScriptThatMayNotBeTrustedIsNotRun)
{
    AddIT();
    sys->refusedFiles.insert("./doRPM.sh");
    StoreLibLogCapture log;
    ZUKStoreLibTalker talker(sys);
    _SL_CTRL_LIST_T list;
    EXPECT_EQ(0u, talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255));
    EXPECT_EQ(0, std::count(sys->commands.begin(), sys->commands.end(),
                            std::string("./doRPM.sh > /dev/null 2>&1")));
    // As with a missing script: nothing was installed, nothing to remove.
    EXPECT_FALSE(talker.getNeedRemoveUtilsRpm());
    EXPECT_TRUE(log.has(
        "ZUKStoreLibTalker::installStorelibLibUtils: RPM already installed, Returning false"));
}

TEST_F(TalkerTest, ExplicitExitThenDestructionDoesNotCallIntoAClosedLibrary)
{
    int exits = 0;
    sys->AddLibrary("./libstorelibit.so", "ProcessLibCommandIT", kIT, [&exits](uint8_t* rec) {
        exits += rec[1] == 9;
        return 0u;
    });
    {
        ZUKStoreLibTalker talker(sys);
        _SL_CTRL_LIST_T list;
        talker.doProcessLibCommand(0, 0, 0x05000000, 0, list.bytes(), 260, 255);
        talker.ExitLibrary();
    }
    EXPECT_EQ(1, exits);
    EXPECT_EQ(1, sys->closeCount);
}

} // namespace

namespace
{

// The real loader's reasons, each beginning with the name the talker gave,
// never with the descriptor the library was loaded through.
TEST(RealStoreLibSystemTest, LastLoadErrorNamesTheFileAndTheReason)
{
    char tmpl[] = "/tmp/storelib_load_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string dir = tmpl;
    ASSERT_EQ(0, chmod(dir.c_str(), 0755));
    {
        std::ofstream(dir + "/notelf.so") << "not a library\n";
    }
    RealStoreLibSystem sys;

    EXPECT_EQ(nullptr, sys.OpenLibrary("liblumo-no-such-library.so.9"));
    EXPECT_EQ(0u, sys.LastLoadError().rfind("liblumo-no-such-library.so.9: ", 0))
        << sys.LastLoadError();

    EXPECT_EQ(nullptr, sys.OpenLibrary(dir + "/missing.so"));
    EXPECT_EQ(dir + "/missing.so: the file is missing", sys.LastLoadError());

    EXPECT_EQ(nullptr, sys.OpenLibrary(dir + "/notelf.so"));
    EXPECT_EQ(0u, sys.LastLoadError().rfind(dir + "/notelf.so: ", 0)) << sys.LastLoadError();
    EXPECT_EQ(std::string::npos, sys.LastLoadError().find("/proc/self/fd")) << sys.LastLoadError();

    // A folder others may write to: refused, counted, and said so.
    ASSERT_EQ(0, chmod(dir.c_str(), 0777));
    const size_t refusals = pkgfiles::RefusalCount();
    EXPECT_EQ(nullptr, sys.OpenLibrary(dir + "/notelf.so"));
    EXPECT_EQ(dir + "/notelf.so: refused, its folder " + dir + " is writable by group or others",
              sys.LastLoadError());
    EXPECT_EQ(refusals + 1, pkgfiles::RefusalCount());

    std::remove((dir + "/notelf.so").c_str());
    rmdir(dir.c_str());
}

} // namespace
