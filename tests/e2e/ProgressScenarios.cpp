// Progress on standard error: shown when it is a terminal (the run goes
// through script(1), which gives the program a pseudo-terminal), and absent
// otherwise, with the same report either way.

#ifdef LUMO_E2E_IPMI_PRELOAD

#include "E2EHarness.h"

namespace
{

using namespace e2e;

// The controller refuses both session opens twice, so the third attempt works.
const char kSlowController[] = "generation 30\n"
                               "repository 00\n"
                               "access enabled\n"
                               "handle 1234\n"
                               "partition static 0 COR001 attached\n"
                               "on 30 a2 12 times 2 : cc 01\n"
                               "on 30 a2 00 times 2 : cc 01\n";

void MakePackage(PackageDir& pkg)
{
    pkg.topology("controller id=0x05000000\n"
                 "device id=8 type=0x0d serial=\"" + TableRow(0).first + "\"\n");
    pkg.package("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SoftwareComponent>\n"
                " <SupportedDevices>\n  <Device componentID=\"" + TableRow(0).second +
                "\"><Display>LUMO Switch 1</Display><PayloadConfiguration><Image "
                "filename=\"sw1.bin\"/></PayloadConfiguration></Device>\n"
                " </SupportedDevices>\n</SoftwareComponent>\n");
    pkg.write("payload/sw1.bin", ImageBytes(100000, 3));
}

TEST(Progress, OnATerminalTheDownloadAndTheSlowControllerAreShown)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    SandboxOptions opts;
    opts.ipmiScript = kSlowController;

    PackageDir tty("progress_tty");
    MakePackage(tty);
    const RunResult shown = RunCommand(
        tty, {"script", "-qec", "./lumoswitch -u -o update.xml", "/dev/null"}, opts);
    EXPECT_EQ(0, shown.status) << shown.out << shown.err;
    const std::string sw = "lumoswitch: switch 8 on controller 0x05000000: ";
    for (const char* step : {"chunk 1 of 4, 32768 of 100000 bytes sent",
                             "chunk 4 of 4, 100000 of 100000 bytes sent"}) {
        EXPECT_NE(std::string::npos, shown.out.find(sw + step)) << shown.out;
    }
    for (const char* step : {"lumoswitch: controller: session open, attempt 2 of 36",
                             "lumoswitch: controller: session open, attempt 3 of 36"}) {
        EXPECT_NE(std::string::npos, shown.out.find(step)) << shown.out;
    }
    EXPECT_EQ(std::string::npos, shown.out.find("attempt 4 of 36")) << shown.out;

    PackageDir plain("progress_plain");
    MakePackage(plain);
    const RunResult quiet = RunProgram(plain, {"-u", "-o", "update.xml"}, opts);
    EXPECT_EQ(0, quiet.status);
    EXPECT_EQ("", quiet.err);
    EXPECT_EQ("", quiet.out);

    const std::string report = ReadFile(plain.file("update.xml"));
    EXPECT_NE(std::string::npos, report.find("<RebootRequired>1</RebootRequired>")) << report;
    EXPECT_EQ(report, ReadFile(tty.file("update.xml")));
}

} // namespace

#endif
