// The switch tool end to end: inventory and update of simulated switches
// behind the simulated storage library, from a package directory, in the
// sandbox.

#include <sys/stat.h>

#include <functional>
#include <ostream>

#include "E2EHarness.h"

namespace
{

using namespace e2e;

const char kHeader[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const char kManual[] =
    "The firmware update was successful. The new firmware will be activated on LUMO Switch upon "
    "power cycle of the device or system. Please power cycle the system manually.";
const char kModel[] = "LUMO PCIe Switch";

std::string Serial(size_t row)
{
    return TableRow(row).first;
}
std::string Id(size_t row)
{
    return TableRow(row).second;
}

std::string InventoryDevice(const std::string& id, const std::string& display,
                            const std::string& serial, const std::string& version,
                            const std::string& model)
{
    return "<Device  componentID=\"" + id + "\" display=\"" + display +
           "\" enum = \"Serial Number: " + serial +
           "\" ><Application componentType=\"FRMW\" version=\"" + version + "\" display=\"" +
           model + "\"/></Device>";
}

std::string Inventory(const std::string& devices)
{
    return std::string(kHeader) + "<SVMInventory lang=\"en\">" + devices + "</SVMInventory>";
}

std::string UpdatedDevice(const std::string& id, const std::string& display,
                          const std::string& serial, const std::string& version,
                          const std::string& message)
{
    return "<Device  componentID=\"" + id + "\" display=\"" + display +
           "\" enum = \"Serial Number: " + serial +
           "\" ><Application componentType=\"FRMW\" version=\"" + version + "\" display=\"" +
           kModel + "\" ><SPStatus result = \"true\" ><Message id=\"0\" >" + message +
           "</Message></SPStatus></Application></Device>";
}

std::string FailedDevice(const std::string& message)
{
    return "<SPStatus result = \"false\" ><Message id=\"0\" >" + message + "</Message></SPStatus>";
}

std::string UpdateReport(const std::string& devices)
{
    return std::string(kHeader) + "<SVMExecution lang=\"en\">" + devices + "</SVMExecution>";
}

const std::string kDeviceNotFound =
    UpdateReport("<SPStatus result = \"false\" ><Message id=\"1\" >Device not found</Message>"
                 "</SPStatus>");

// Two switches behind the first IT controller (one with blanks around its
// serial), a disk behind the second.
std::string TwoSwitchTopology(const std::string& extra = "")
{
    return "controller id=0x05000000\n"
           "device id=8 type=0x0d serial=\"  " +
           Serial(0) + " \" product=\"" + kModel +
           "\" revision=1.2.10.0\n"
           "device id=9 type=0x1f serial=\"" +
           Serial(1) + "\" product=\"" + kModel + "\" revision=2.0.3.255\n" + extra +
           "controller id=0x05000001\n"
           "device id=3 type=0x00 serial=\"DISK0001\" product=\"SIM DISK\"\n";
}

std::string Package(const std::string& image1 = "sw1.bin", const std::string& image2 = "sw2.bin")
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SoftwareComponent>\n <SupportedDevices>\n"
           "  <Device componentID=\"" +
           Id(0) + "\"><Display>LUMO Switch 1</Display><PayloadConfiguration><Image filename=\"" +
           image1 + "\"/></PayloadConfiguration></Device>\n  <Device componentID=\"" + Id(1) +
           "\"><Display>LUMO Switch 2</Display><PayloadConfiguration><Image filename=\"" + image2 +
           "\"/></PayloadConfiguration></Device>\n </SupportedDevices>\n</SoftwareComponent>\n";
}

const std::string kImage1 = ImageBytes(100000, 1);
const std::string kImage2 = ImageBytes(65536, 2);

// A package directory with the two switches, their package entries and images.
PackageDir StandardPackage(const std::string& name, const std::string& topologyExtra = "")
{
    PackageDir pkg(name);
    pkg.topology(TwoSwitchTopology(topologyExtra));
    pkg.package(Package());
    pkg.write("payload/sw1.bin", kImage1);
    pkg.write("payload/sw2.bin", kImage2);
    return pkg;
}

std::string ExpectedInventory()
{
    return Inventory(InventoryDevice(Id(0), "LUMO Switch 1", Serial(0), "1.2.10.0", kModel) +
                     InventoryDevice(Id(1), "LUMO Switch 2", Serial(1), "2.0.3.255", kModel));
}

std::vector<std::string> WriteBufferTrace(const std::string& trace, unsigned dev)
{
    std::vector<std::string> out;
    const std::string prefix = "WRITE_BUFFER ctrl=0x05000000 dev=" + std::to_string(dev) + " ";
    for (const std::string& line : Lines(trace)) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

TEST(SwitchInventory, ReportListsBothSwitchesByteForByteAndTheTraceShowsEveryCommand)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg = StandardPackage("inventory");
    const RunResult r = RunProgram(pkg, {"-i"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(ExpectedInventory(), r.out);
    EXPECT_EQ("", r.err);

    const std::vector<std::string> expected = {
        "INIT_LIB ctrl=0x05000000 flags=1 size=260 -> rc=0x0 count=2",
        "GET_PD_LIST ctrl=0x05000000 size=6152 -> rc=0x0 count=2",
        "INQUIRY_VPD80 ctrl=0x05000000 dev=8 len=28 size=93 cdb=12 01 80 00 1c 00 -> rc=0x0 "
        "status=0",
        "INQUIRY_VPD80 ctrl=0x05000000 dev=9 len=28 size=93 cdb=12 01 80 00 1c 00 -> rc=0x0 "
        "status=0",
        "GET_PD_LIST ctrl=0x05000001 size=6152 -> rc=0x0 count=1",
        "READ_BUFFER ctrl=0x05000000 dev=8 len=60 size=125 cdb=3c 01 e6 e0 07 00 3c 00 00 00 -> "
        "rc=0x0 status=0",
        "INQUIRY ctrl=0x05000000 dev=8 len=60 size=125 cdb=12 00 00 00 3c 00 -> rc=0x0 status=0",
        "READ_BUFFER ctrl=0x05000000 dev=9 len=60 size=125 cdb=3c 01 e6 e0 07 00 3c 00 00 00 -> "
        "rc=0x0 status=0",
        "INQUIRY ctrl=0x05000000 dev=9 len=60 size=125 cdb=12 00 00 00 3c 00 -> rc=0x0 status=0",
        "EXIT_LIB -> rc=0x0"};
    EXPECT_EQ(expected, Lines(pkg.trace()));
    // No utilities package was installed, so none is removed.
    EXPECT_EQ(std::string::npos, r.standins.find("rpm"));
}

TEST(SwitchInventory, ReportGoesToTheOutputFileWhenOneIsNamed)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg = StandardPackage("inventory_file");
    const RunResult r = RunProgram(pkg, {"-i", "-o", "inventory.xml"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(ExpectedInventory(), pkg.read("inventory.xml"));
}

TEST(SwitchUpdate, ImagesArriveIntactInOrderedChunks)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg = StandardPackage("update");
    const RunResult r = RunProgram(pkg, {"-u"});
    EXPECT_EQ(0, r.status) << r.err;
    // The harness's default controller has no IPMI device, so the staging is
    // not available: both switches are updated and wait for a manual power
    // cycle.
    EXPECT_EQ(UpdateReport(UpdatedDevice(Id(0), "LUMO Switch 1", Serial(0), "1.2.10.0", kManual) +
                           UpdatedDevice(Id(1), "LUMO Switch 2", Serial(1), "2.0.3.255", kManual)),
              r.out);
    EXPECT_TRUE(pkg.received(0x05000000, 8) == kImage1);
    EXPECT_TRUE(pkg.received(0x05000000, 9) == kImage2);

    const std::string trace = pkg.trace();
    EXPECT_EQ((std::vector<std::string>{
                  "WRITE_BUFFER ctrl=0x05000000 dev=8 len=32768 size=32832 cdb=3b 02 00 00 00 00 "
                  "00 80 00 00 chunk=1 offset=0 paramlen=32768 -> rc=0x0 status=0",
                  "WRITE_BUFFER ctrl=0x05000000 dev=8 len=32768 size=32832 cdb=3b 02 00 00 80 00 "
                  "00 80 00 00 chunk=2 offset=32768 paramlen=32768 -> rc=0x0 status=0",
                  "WRITE_BUFFER ctrl=0x05000000 dev=8 len=32768 size=32832 cdb=3b 02 00 01 00 00 "
                  "00 80 00 00 chunk=3 offset=65536 paramlen=32768 -> rc=0x0 status=0",
                  "WRITE_BUFFER ctrl=0x05000000 dev=8 len=1696 size=1760 cdb=3b 02 00 01 80 00 00 "
                  "06 a0 00 chunk=4 offset=98304 paramlen=1696 -> rc=0x0 status=0"}),
              WriteBufferTrace(trace, 8));
    EXPECT_EQ((std::vector<std::string>{
                  "WRITE_BUFFER ctrl=0x05000000 dev=9 len=32768 size=32832 cdb=3b 02 00 00 00 00 "
                  "00 80 00 00 chunk=1 offset=0 paramlen=32768 -> rc=0x0 status=0",
                  "WRITE_BUFFER ctrl=0x05000000 dev=9 len=32768 size=32832 cdb=3b 02 00 00 80 00 "
                  "00 80 00 00 chunk=2 offset=32768 paramlen=32768 -> rc=0x0 status=0"}),
              WriteBufferTrace(trace, 9));
    EXPECT_EQ(std::string::npos, trace.find("ERROR"));
    EXPECT_EQ("EXIT_LIB -> rc=0x0", Lines(trace).back());

    // The device the program looked for was the simulated one, never this
    // machine's.
    const std::string state = pkg.read("ipmi.state");
    EXPECT_EQ(0u, state.find("requests=0\n")) << state;
    EXPECT_NE(std::string::npos, state.find("\nopen_failures=")) << state;
    EXPECT_EQ(std::string::npos, state.find("\nopen_failures=0\n")) << state;
}

TEST(SwitchUpdate, InventoryThenUpdateRunBothPassesEachWithItsOwnLibraryLoad)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg = StandardPackage("inventory_update");
    const RunResult r = RunProgram(pkg, {"-i", "-u"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(
        ExpectedInventory() +
            UpdateReport(UpdatedDevice(Id(0), "LUMO Switch 1", Serial(0), "1.2.10.0", kManual) +
                         UpdatedDevice(Id(1), "LUMO Switch 2", Serial(1), "2.0.3.255", kManual)),
        r.out);
    int inits = 0;
    int exits = 0;
    for (const std::string& line : Lines(pkg.trace())) {
        inits += line.rfind("INIT_LIB", 0) == 0;
        exits += line.rfind("EXIT_LIB", 0) == 0;
    }
    EXPECT_EQ(2, inits);
    EXPECT_EQ(2, exits);
    EXPECT_TRUE(pkg.received(0x05000000, 8) == kImage1);
}

TEST(SwitchUpdate, UtilitiesPackageInstalledByThisRunIsRemovedAtExit)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg = StandardPackage("utils_package");
    pkg.write("doRPM.sh", "#!/bin/sh\ntouch rpm_rc\n");
    std::filesystem::permissions(pkg.file("doRPM.sh"), std::filesystem::perms::owner_all);
    const RunResult r = RunProgram(pkg, {"-i"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("rpm -e pelaadm-storelib-sysfs.x86_64\n", r.standins);
}

// ---------------------------------------------------------------- bad input

struct LibraryCase {
    const char* name;
    std::function<void(PackageDir&)> arrange;
    int status;      // of both runs
    std::string err; // what each run says on standard error
};

// Cases print as their name in test listings.
void PrintTo(const LibraryCase& c, std::ostream* os)
{
    *os << c.name;
}

class NoUsableLibrary : public ::testing::TestWithParam<LibraryCase>
{
};

// The reports are those of a board without switches; the status and one
// line on standard error tell a library that did not work from a working
// one that found nothing.
TEST_P(NoUsableLibrary, InventoryIsTheEmptyFrameAndUpdateFindsNoDevice)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const LibraryCase& c = GetParam();
    PackageDir pkg = StandardPackage(std::string("nolib_") + c.name);
    c.arrange(pkg);
    const RunResult inv = RunProgram(pkg, {"-i"});
    EXPECT_EQ(c.status, inv.status);
    EXPECT_EQ(Inventory(""), inv.out);
    EXPECT_EQ(c.err, inv.err);
    const RunResult upd = RunProgram(pkg, {"-u"});
    EXPECT_EQ(c.status, upd.status);
    EXPECT_EQ(kDeviceNotFound, upd.out);
    EXPECT_EQ(c.err, upd.err);
    EXPECT_FALSE(pkg.exists("received_05000000_8.bin"));
}

const char kNoSystemLibrary[] =
    "libstorelibit.so.07: cannot open shared object file: No such file or directory";

INSTANTIATE_TEST_SUITE_P(
    Cases, NoUsableLibrary,
    ::testing::Values(
        LibraryCase{"NoLibrary", [](PackageDir& p) { p.remove("libstorelibit.so"); }, 3,
                    std::string("lumoswitch: cannot load the storage library: ./libstorelibit.so: "
                                "the file is missing; ") +
                        kNoSystemLibrary + "\n"},
        LibraryCase{"Refused",
                    [](PackageDir& p) { chmod(p.file("libstorelibit.so").c_str(), 0666); }, 2,
                    std::string("lumoswitch: Refusing package file ./libstorelibit.so: the file is "
                                "writable by group or others\n"
                                "lumoswitch: cannot load the storage library: ./libstorelibit.so: "
                                "refused, the file is writable by group or others; ") +
                        kNoSystemLibrary + "\n"},
        LibraryCase{"NoEntryPoint", [](PackageDir& p) { p.libraryWithoutEntryPoint(); }, 3,
                    "lumoswitch: cannot load the storage library: ./libstorelibit.so: it has no "
                    "entry point ProcessLibCommandIT\n"},
        LibraryCase{"InitFails",
                    [](PackageDir& p) { p.topology("init result=0x8003\n" + TwoSwitchTopology()); },
                    3,
                    "lumoswitch: the storage library ./libstorelibit.so did not start: it answered "
                    "0x8003 to INIT_LIB\n"},
        // A working library on a board without switches: nothing went wrong.
        LibraryCase{"NoController", [](PackageDir& p) { p.topology("# nothing\n"); }, 0, ""}),
    [](const ::testing::TestParamInfo<LibraryCase>& p) { return std::string(p.param.name); });

TEST(SwitchInventory, OddDevicesAreHandledWithoutReadingPastTheirAnswers)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg("odd_devices");
    // Device 1: page length 40 behind a 28-byte buffer, key inside the first 24
    // bytes. Device 2: a short standard INQUIRY and a garbage revision answer.
    // Device 3: a serial that matches no row. Devices 4 and 5: the same serial,
    // the one listed last wins. Device 6: a VPD answer of four bytes.
    pkg.topology("controller id=0x05000000\n"
                 "device id=1 type=0x0d serial=\"" +
                 Serial(2) + "-0123456789ABCDEFGHIJ\" vpd_len=40 product=\"" + kModel +
                 "\" revision=3.1.0.7\n"
                 "device id=2 type=0x1f serial=\"" +
                 Serial(3) +
                 "\" inquiry_hex=0d000602 readbuf_hex=ffffffff\n"
                 "device id=3 type=0x0d serial=\"UNKNOWN-PLATFORM\"\n"
                 "controller id=0x05000002\n"
                 "device id=4 type=0x0d serial=\"" +
                 Serial(4) + "\" product=\"first\" revision=1.0.0.0\n" +
                 "device id=5 type=0x0d serial=\"" + Serial(4) +
                 "\" product=\"last\" revision=5.0.0.0\n"
                 "device id=6 type=0x0d vpd_hex=0d800000\n");
    pkg.package("<SoftwareComponent><SupportedDevices/></SoftwareComponent>");
    const RunResult r = RunProgram(pkg, {"-i"});
    EXPECT_EQ(0, r.status);
    const std::string serial1 = (Serial(2) + "-0123456789ABCDEFGHIJ").substr(0, 24);
    // No display name in the package: the 16-byte model text is shown, and a
    // short answer leaves it empty (its NUL padding is not written).
    EXPECT_EQ(Inventory(InventoryDevice(Id(2), kModel, serial1, "3.1.0.7", kModel) +
                        InventoryDevice(Id(3), "", Serial(3), "0.0.0.0", "") +
                        InventoryDevice(Id(4), "last            ", Serial(4), "5.0.0.0",
                                        "last            ")),
              r.out);
    EXPECT_EQ(std::string::npos, pkg.trace().find("ERROR"));
}

struct DeviceFailure {
    const char* name;
    std::function<void(PackageDir&)> arrange;
    std::string topologyExtra;
    const char* error; // what switch 1 gets; switch 2 is always updated
    int status = 0;    // 2: the image was refused, and the run says so
};

// Cases print as their name in test listings.
void PrintTo(const DeviceFailure& c, std::ostream* os)
{
    *os << c.name;
}

class UpdateBadInput : public ::testing::TestWithParam<DeviceFailure>
{
};

TEST_P(UpdateBadInput, FailingSwitchGetsItsTextAndTheOtherIsStillUpdated)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const DeviceFailure& c = GetParam();
    PackageDir pkg = StandardPackage(std::string("bad_") + c.name, c.topologyExtra);
    c.arrange(pkg);
    const RunResult r = RunProgram(pkg, {"-u"});
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(UpdateReport(FailedDevice(c.error) +
                           UpdatedDevice(Id(1), "LUMO Switch 2", Serial(1), "2.0.3.255", kManual)),
              r.out);
    EXPECT_TRUE(pkg.received(0x05000000, 9) == kImage2);
    EXPECT_EQ(std::string::npos, pkg.trace().find("ERROR")) << "malformed command sent";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateBadInput,
    ::testing::Values(
        DeviceFailure{"MissingImage", [](PackageDir& p) { p.remove("payload/sw1.bin"); }, "",
                      "ERROR: Failed to read firmware image"},
        DeviceFailure{"ImageIsADirectory",
                      [](PackageDir& p) {
                          p.remove("payload/sw1.bin");
                          std::filesystem::create_directory(p.file("payload/sw1.bin"));
                      },
                      "", "ERROR: Failed to read firmware image"},
        DeviceFailure{"NoImageEntry", [](PackageDir& p) { p.package(Package("", "sw2.bin")); }, "",
                      "ERROR: Failed to read firmware image"},
        DeviceFailure{"EmptyImage", [](PackageDir& p) { p.write("payload/sw1.bin", ""); }, "",
                      "ERROR: Failed to Update Firmware"},
        DeviceFailure{
            "OversizedImage",
            [](PackageDir& p) { p.write("payload/sw1.bin", std::string((16u << 20) + 1, 'x')); },
            "", "ERROR: Failed to Update Firmware", 2},
        DeviceFailure{"ChunkRejectedWithCheckCondition", [](PackageDir&) {},
                      "fault dev=8 opcode=0x3b chunk=2 status=2 "
                      "sense=70000500000000000000000024000000\n",
                      "ERROR: Failed to Update Firmware"},
        DeviceFailure{"ChunkRejectedByTheLibrary", [](PackageDir&) {},
                      "fault dev=8 opcode=0x3b chunk=3 result=0x4021\n",
                      "ERROR: Failed to Update Firmware"},
        // The filter reads 0NNNNNN as the same number; the image lookup
        // compares text and finds no entry.
        DeviceFailure{"ComponentWrittenWithLeadingZero",
                      [](PackageDir& p) {
                          std::string xml = Package();
                          const std::string id = "componentID=\"" + Id(0) + "\"";
                          xml.replace(xml.find(id), id.size(), "componentID=\"0" + Id(0) + "\"");
                          p.package(xml);
                      },
                      "", "ERROR: Invalid firmware image"}),
    [](const ::testing::TestParamInfo<DeviceFailure>& p) { return std::string(p.param.name); });

TEST(SwitchUpdate, RejectedChunkStopsTheDownloadThere)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg = StandardPackage("rejected_chunk",
                                     "fault dev=8 opcode=0x3b chunk=2 status=2 sense=700005\n");
    const RunResult r = RunProgram(pkg, {"-u"});
    EXPECT_EQ(0, r.status);
    const std::vector<std::string> chunks = WriteBufferTrace(pkg.trace(), 8);
    ASSERT_EQ(2u, chunks.size());
    EXPECT_NE(std::string::npos, chunks[1].find("chunk=2 offset=32768"));
    EXPECT_NE(std::string::npos, chunks[1].find("status=2 fault=status"));
    EXPECT_EQ(32768u, pkg.received(0x05000000, 8).size());
}

TEST(SwitchUpdate, PackageWithoutTheSwitchesComponentsUpdatesNothing)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg = StandardPackage("foreign_package");
    pkg.package("<SoftwareComponent><SupportedDevices><Device componentID=\"ABCDEF\"><Display>x"
                "</Display></Device></SupportedDevices></SoftwareComponent>");
    const RunResult r = RunProgram(pkg, {"-u"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(kDeviceNotFound, r.out);
    EXPECT_EQ(std::string::npos, pkg.trace().find("WRITE_BUFFER"));
}

TEST(SwitchUpdate, AllDownloadsFailingReportsEachSwitchsOwnError)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    PackageDir pkg = StandardPackage("all_fail");
    pkg.remove("payload/sw1.bin");
    pkg.write("payload/sw2.bin", "");
    const RunResult r = RunProgram(pkg, {"-u"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(UpdateReport(FailedDevice("ERROR: Failed to read firmware image") +
                           FailedDevice("ERROR: Failed to Update Firmware")),
              r.out);
}

} // namespace
