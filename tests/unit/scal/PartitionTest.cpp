#include "ScalTestFixture.h"
#include "SimulatedController.h"

namespace scaltest
{
namespace
{

// Partition requests against the simulated controller: a session with
// handle 0x1234 is open on both sides.
class PartitionTest : public ScalTest
{
protected:
    void SetUp() override
    {
        ScalTest::SetUp();
        UseScript("");
        corvel.reset(new TestCorvel(Seams()));
        corvel->OpenSessionForTest(0x1234);
        corvel->SetOsTypeForTest(REDHAT);
        OpenLog();
        sim->requests.clear();
        host.shellCommands.clear();
    }
    void TearDown() override
    {
        corvel.reset();
        ScalTest::TearDown();
    }
    // A new controller with this script (partitions, rules) and the session
    // already open.
    void UseScript(const std::string& script)
    {
        UseSimulatedController("handle 1234\n" + script, true);
        sim->OpenSessionBeforehand();
    }
    // The dynamic slots the controller shows deleted.
    std::vector<unsigned> DeletedDynamicSlots() const
    {
        std::vector<unsigned> slots;
        for (unsigned slot = 0; slot < 8; ++slot) {
            const std::string state = sim->State("dynamic." + std::to_string(slot));
            if (state.size() > 8 && state.compare(state.size() - 8, 8, " deleted") == 0) {
                slots.push_back(slot);
            }
        }
        return slots;
    }
    // The slot sets of the last detach request: static, dynamic.
    std::pair<uint16_t, uint16_t> LastDetach() const
    {
        const auto detach = sim->RequestsOf(0xA2, 0x06);
        if (detach.empty() || detach.back().size() < 11) {
            return {0, 0};
        }
        const std::vector<uint8_t>& r = detach.back();
        return {static_cast<uint16_t>((r[5] << 8) | r[6]),
                static_cast<uint16_t>((r[9] << 8) | r[10])};
    }
    std::unique_ptr<TestCorvel> corvel;
};

TEST_F(PartitionTest, StaticSlotNamesFillThePartitionTable)
{
    struct Case {
        const char* name;
        std::string slotName;
        int entry; // -1: the table stays unchanged
        const char* logged;
    };
    const Case cases[] = {
        {"standard label", "COR001", 1, "SCAL info : PartName = [COR001]"},
        {"short label", "COR1", -1, "SCAL error : PartName length is lesser than expected!!!"},
        {"letters", "CORXYZ", -1, "The partition name [CORXYZ]is inconsistent with the standard."},
        {"beyond the table", "COR999", -1,
         "The partition name [COR999]is inconsistent with the standard."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InitCorvelPartInfo();
        UseScript("partition static 0 " + c.slotName + "\n");

        EXPECT_EQ(corvel->getPartIndexInfo(), 0x0001);
        EXPECT_TRUE(corvel->getPartInfo(0x0001));
        EXPECT_TRUE(LogHas(c.logged));
        for (unsigned i = 0; i < kCorvelPartCount; ++i) {
            if (static_cast<int>(i) == c.entry) {
                // Written low byte first, the slot bits give the wire bytes 0x00 0x01.
                uint8_t low = static_cast<uint8_t>(corvelPartInfo[i].slotBits & 0xFF);
                uint8_t high = static_cast<uint8_t>(corvelPartInfo[i].slotBits >> 8);
                EXPECT_EQ(low, 0x00);
                EXPECT_EQ(high, 0x01);
                EXPECT_TRUE(corvelPartInfo[i].attached);
            } else {
                EXPECT_EQ(corvelPartInfo[i].slotBits, 0) << i;
                EXPECT_FALSE(corvelPartInfo[i].attached) << i;
            }
        }
    }
    auto info = sim->RequestsOf(0xA2, 0x04);
    EXPECT_EQ(info[0],
              (std::vector<uint8_t>{0x30, 0xA2, 0x04, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(PartitionTest, OnlyADynamicPartitionReadBackUnderOurLabelIsDeleted)
{
    struct Case {
        const char* name;
        std::map<unsigned, std::string> names;
        uint16_t bitmap;
        std::vector<unsigned> deleted;
    };
    const Case cases[] = {
        {"matching label ignoring case", {{2, "secupd"}}, 0x0004, {2}},
        {"other label", {{2, "OTHER1"}}, 0x0004, {}},
        {"first match wins", {{1, "SECUPD"}, {3, "SECUPD"}}, 0x000A, {1}},
        {"unreadable slot skipped", {{3, "SECUPD"}}, 0x0009, {3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string script;
        for (const auto& named : c.names) {
            script +=
                "partition dynamic " + std::to_string(named.first) + " " + named.second + "\n";
        }
        UseScript(script);
        uint16_t bitmap = c.bitmap;
        EXPECT_TRUE(corvel->deleteDynPartWithName(bitmap, "SECUPD"));
        EXPECT_EQ(DeletedDynamicSlots(), c.deleted);
    }
    UseScript("partition dynamic 2 SECUPD\n");
    uint16_t bitmap = 0x0004;
    corvel->deleteDynPartWithName(bitmap, "SECUPD");
    EXPECT_EQ(
        sim->RequestsOf(0xA2, 0x08)[0],
        (std::vector<uint8_t>{0x30, 0xA2, 0x08, 0x34, 0x12, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(sim->RequestsOf(0xA2, 0x04)[0],
              (std::vector<uint8_t>{0x30, 0xA2, 0x04, 0x34, 0x12, 0x80, 0x02, 0x00, 0x00}));
}

TEST_F(PartitionTest, TableHoldsTheNamedEntriesAndNumberedLabels)
{
    EXPECT_EQ(corvelPartInfo[0].label, "SECUPD");
    EXPECT_EQ(corvelPartInfo[1].name, "UEFI");
    EXPECT_EQ(corvelPartInfo[22].name, "FirmwareImages");
    EXPECT_EQ(corvelPartInfo[22].sizeMB, 160);
    EXPECT_EQ(corvelPartInfo[6].label, "COR006");
    EXPECT_EQ(corvelPartInfo[256].label, "COR256");
    EXPECT_EQ(corvelPartInfo[256].generation, "N/A");
    EXPECT_EQ(corvel->getPartIndex("COR022"), 22);
    EXPECT_EQ(corvel->getPartIndex("COR000"), 0);
}

TEST_F(PartitionTest, FailedDeleteIsError44)
{
    UseScript("on 30 a2 08 : cc 0d\n");
    EXPECT_FALSE(corvel->DeleteDropBox(0x0004));
    EXPECT_EQ(corvel->getSCALError(), SCAL_DELETE_DYN_PARTITION_FAILED);
}

TEST_F(PartitionTest, SessionBoundOperationsRefuseWithoutASessionAndSendNothing)
{
    TestCorvel closed(Seams());
    closed.SetOsTypeForTest(REDHAT);
    sim->requests.clear();
    uint16_t bitmap = 0x00FF;
    const std::vector<std::pair<const char*, std::function<bool()>>> operations = {
        {"getPartInfo", [&] { return closed.getPartInfo(0x00FF); }},
        {"getPartIndexInfo", [&] { return closed.getPartIndexInfo() != 0; }},
        {"DetachPartition", [&] { return closed.DetachPartition(0xFF00, 0xFF00, 1, true); }},
        {"deleteDynPartWithName", [&] { return closed.deleteDynPartWithName(bitmap, "SECUPD"); }},
        {"DeleteDropBox", [&] { return closed.DeleteDropBox(4); }},
        {"EndCorvelSession", [&] { return closed.EndCorvelSession(); }},
    };
    for (const auto& operation : operations) {
        SCOPED_TRACE(operation.first);
        closed.storeErrorInfo(0);
        EXPECT_FALSE(operation.second());
        EXPECT_EQ(closed.getSCALError(), SCAL_NO_ACTIVE_SESSION);
    }
    EXPECT_TRUE(sim->requests.empty());
    EXPECT_TRUE(host.unmounts.empty());
    EXPECT_TRUE(LogHas("No Active Session Found"));
}

TEST_F(PartitionTest, OpeningWhileOpen)
{
    EXPECT_TRUE(corvel->BeginCorvelSessionExtended(1200));
    EXPECT_FALSE(corvel->BeginCorvelSession(1200));
    EXPECT_EQ(corvel->getSCALError(), SCAL_SESSION_ALREADY_ACTIVE);
    EXPECT_TRUE(sim->requests.empty());
}

TEST_F(PartitionTest, FailedEndKeepsTheSessionMarkedOpen)
{
    UseScript("on 30 a2 01 : cc 0d\n");
    EXPECT_FALSE(corvel->EndCorvelSession());
    EXPECT_EQ(corvel->getSCALError(), SCAL_END_SESSION_FAILED);
    EXPECT_TRUE(corvel->IsSessionOpen());
    EXPECT_EQ(corvel->GetSessionHandle(), 0x1234);
}

TEST_F(PartitionTest, DetachUnmountsFirstThenReleasesAllSlots)
{
    EXPECT_TRUE(corvel->DetachAll());
    EXPECT_EQ(host.shellCommands,
              (std::vector<std::string>{
                  "umount /tmp/COR001 > /dev/null 2>&1", "rm -rf /tmp/COR001 > /dev/null 2>&1",
                  "rm -f /dev/seccorupd-* > /dev/null 2>&1", "rm -rf /tmp/SECUPD > /dev/null 2>&1",
                  "rm -f /dev/seccorupd-* > /dev/null 2>&1"}));
    // Nothing mounted: one umount call that fails with EINVAL.
    EXPECT_EQ(host.unmounts, std::vector<std::string>{"/tmp/SECUPD"});
    EXPECT_TRUE(LogHas("Umount Error Num = 22"));
    EXPECT_EQ(LastDetach(), std::make_pair(uint16_t{0x00FF}, uint16_t{0x00FF}));
    EXPECT_TRUE(LogHas("DetachPartition succeeded"));
}

TEST_F(PartitionTest, RefusedDetachIsError23AndLoggedOnlyWhenVerbose)
{
    UseScript("on 30 a2 06 : cc 0d\n");
    EXPECT_FALSE(corvel->DetachAll());
    EXPECT_EQ(corvel->getSCALError(), SCAL_DETACH_FAILED);
    EXPECT_FALSE(LogHas("DetachPartitions IPMI Request failed"));
    EXPECT_EQ(host.CountShell("umount /tmp/COR001"), 1u); // unmounted whatever the answer

    EXPECT_FALSE(corvel->DetachPartition(0x0100, 0, 1, true));
    EXPECT_TRUE(LogHas("DetachPartitions IPMI Request failed"));
    EXPECT_TRUE(LogHas("DetachPartition failed"));
}

TEST_F(PartitionTest, PartitionIdBeyondTheTableIsRefused)
{
    EXPECT_FALSE(corvel->DetachPartition(0x0100, 0, 300, true));
    EXPECT_EQ(corvel->getSCALError(), SCAL_INVALID_PARTITION_ID);
    EXPECT_TRUE(sim->requests.empty());
    EXPECT_TRUE(host.shellCommands.empty());
}

TEST_F(PartitionTest, BusyMountIsRetriedOnceASecondAndGivenUpOnInBoundedTime)
{
    // Busy three times, then the mount goes away.
    host.unmountResults = {0, EBUSY, EBUSY, EBUSY, 0};
    EXPECT_TRUE(corvel->unmountDynPartition());
    EXPECT_EQ(host.unmounts.size(), 6u);
    EXPECT_EQ(sleeper.sleeps, (std::vector<unsigned>{1, 1, 1}));
    EXPECT_EQ(host.CountShell("rm -rf /tmp/SECUPD"), 1u);

    // Busy for good: the loop ends, and the still-mounted partition's
    // contents are left alone.
    host.unmounts.clear();
    host.shellCommands.clear();
    sleeper.sleeps.clear();
    host.unmountResults = std::deque<int>(1000, EBUSY);
    host.mountPoints.insert("/tmp/SECUPD");
    EXPECT_FALSE(corvel->unmountDynPartition());
    EXPECT_EQ(sleeper.sleeps.size(), kMaxBusyUnmountRetries);
    EXPECT_EQ(host.unmounts.size(), kMaxBusyUnmountRetries + 1);
    EXPECT_EQ(host.CountShell("rm -rf /tmp/SECUPD"), 0u);
    EXPECT_TRUE(LogHas("/tmp/SECUPD is still mounted, not removed"));

    // A mount that keeps reappearing is not unmounted forever either.
    host.unmounts.clear();
    host.unmountResults = std::deque<int>(1000, 0);
    EXPECT_FALSE(corvel->unmountDynPartition());
    EXPECT_EQ(host.unmounts.size(), kMaxStackedUnmounts);
}

TEST_F(PartitionTest, StaticPartitionStillMountedIsNotRemoved)
{
    host.mountPoints.insert("/tmp/COR001");
    // A failed unmount is a failure, for the static partition as for the
    // dynamic one, and the folder with its contents stays.
    EXPECT_FALSE(corvel->unmountStatPartition("COR001"));
    EXPECT_EQ(host.CountShell("rm -rf /tmp/COR001"), 0u);
    EXPECT_EQ(host.CountShell("umount /tmp/COR001"), 1u);
    EXPECT_EQ(host.CountShell("rm -f /dev/seccorupd-*"), 0u);
    EXPECT_TRUE(LogHas("/tmp/COR001 is still mounted, not removed"));
}

// What another user may have left under the mount folders' names in /tmp.
TEST_F(PartitionTest, OnlyRootsOwnMountFoldersAreUnmountedOrRemoved)
{
    struct Case {
        const char* name;
        std::function<void(FakeHost&, const std::string&)> arrange;
        bool touched; // unmounted and removed
        bool result;
    };
    const Case cases[] = {
        {"root's folder", [](FakeHost&, const std::string&) {}, true, true},
        {"a link",
         [](FakeHost& h, const std::string& d) {
             h.directories.erase(d);
             h.links.insert(d);
         },
         false, false},
        {"another user's folder", [](FakeHost& h, const std::string& d) { h.owners[d] = 65534; },
         false, false},
        {"a plain file",
         [](FakeHost& h, const std::string& d) {
             h.directories.erase(d);
             h.files[d] = "";
         },
         false, false},
        {"a parent others may rename in",
         [](FakeHost& h, const std::string&) { h.modes["/tmp"] = 0777; }, false, false},
        // Unmounted only by the call that follows no link, should one appear.
        {"nothing there", [](FakeHost& h, const std::string& d) { h.directories.erase(d); }, true,
         true},
    };
    for (const Case& c : cases) {
        for (const std::string label : {"COR001", "SECUPD"}) {
            SCOPED_TRACE(std::string(c.name) + " at " + label);
            const std::string dir = "/tmp/" + label;
            host.directories = {"/tmp", "/tmp/COR001", "/tmp/SECUPD"};
            host.links.clear();
            host.owners.clear();
            host.modes.clear();
            host.files.erase(dir);
            host.shellCommands.clear();
            host.unmounts.clear();
            c.arrange(host, dir);
            const bool result = label == "COR001" ? corvel->unmountStatPartition(label)
                                                  : corvel->unmountDynPartition();
            EXPECT_EQ(result, c.result);
            const unsigned unmounts =
                host.CountShell("umount " + dir) + static_cast<unsigned>(host.unmounts.size());
            EXPECT_EQ(unmounts != 0, c.touched);
            EXPECT_EQ(host.CountShell("rm -rf " + dir) != 0, c.touched);
            if (!c.touched || host.directories.count(dir) == 0) {
                EXPECT_EQ(host.CountShell("umount " + dir), 0u); // the shell would follow a link
            }
        }
    }
}

TEST_F(PartitionTest, EsxiCleanUpRescansUntilTheVolumeIsGone)
{
    corvel->SetOsTypeForTest(ESXi);
    int listings = 0;
    host.shellStatus = [&](const std::string& command) {
        if (command.rfind("ls /vmfs/volumes/", 0) == 0) {
            return ++listings < 3 ? 0 : 1; // listed twice, gone the third time
        }
        return 0;
    };
    EXPECT_TRUE(corvel->DetachAll());
    EXPECT_EQ(host.CountShell("esxcli storage filesystem rescan"), 3u);
    EXPECT_EQ(host.CountShell("ls /vmfs/volumes/ | grep SECUPD > /dev/null 2>&1"), 3u);
    EXPECT_EQ(sleeper.sleeps, (std::vector<unsigned>{2, 2}));
    EXPECT_TRUE(host.unmounts.empty()); // no dynamic unmount on ESXi
    EXPECT_TRUE(LogHas("SECUPD Removed"));

    host.shellCommands.clear();
    sleeper.sleeps.clear();
    host.shellStatus = [](const std::string&) { return 0; };
    corvel->CleanMountedPartition();
    EXPECT_EQ(host.CountShell("esxcli storage filesystem rescan"), 5u);
}

TEST_F(PartitionTest, EsxThreeRemovesTheScsiEntryOfTheVolume)
{
    corvel->SetOsTypeForTest(ESX);
    const std::string sed = "/bin/cat /proc/scsi/scsi | /bin/sed -n '/COR001/{g;1!p;};h'";
    host.captureOutput[sed] = "Host: scsi2 Channel: 00 Id: 00 Lun: 01\n";
    corvel->ESX_RemoveEntries(0xFF00, 0xFF00, 1);
    EXPECT_EQ(host.CountShell("echo \"scsi remove-single-entry 2  00 00 01\" > /proc/scsi/scsi"),
              1u);
    EXPECT_TRUE(LogHas("HBTL (2 , 00, 00, 01)"));

    // Output that does not look like an address never reaches the shell.
    host.shellCommands.clear();
    host.captureOutput[sed] = "Host: scsi2 Channel: ;r Id: 00 Lun: 01\n";
    corvel->ESX_RemoveEntries(0xFF00, 0, 1);
    EXPECT_EQ(host.CountShell("remove-single-entry"), 0u);

    corvel->SetOsTypeForTest(ESX4);
    corvel->ESX_RemoveEntries(0xFF00, 0, 1);
    EXPECT_EQ(host.CountShell("/usr/sbin/esxcfg-rescan"), 1u);
    EXPECT_EQ(LogMessages().back(), "done");
}

} // namespace
} // namespace scaltest
