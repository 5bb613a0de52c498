#include <csignal>
#include <cstdio>
#include <functional>
#include <regex>

#include "ScalTestFixture.h"
#include "SimulatedController.h"

namespace scaltest
{
namespace
{

const std::string kBypassPackage = "<SoftwareComponent><SupportedDevices>"
                                   "<Device componentID=\"30000\"/><Device componentID=\"28897\"/>"
                                   "</SupportedDevices></SoftwareComponent>";
const std::string kOtherPackage = "<SoftwareComponent><SupportedDevices>"
                                  "<Device componentID=\"1234\"/><Device componentID=\"28897\"/>"
                                  "</SupportedDevices></SoftwareComponent>";

// Both session opens, extended and plain, refused with "no session".
const char kRefuseEveryOpen[] = "on 30 a2 12 : cc 0d\non 30 a2 00 : cc 0d\n";
const char kStaticPartition[] = "partition static 0 COR001 attached\n";
const char kBothPartitions[] =
    "partition static 0 COR001 attached\npartition dynamic 2 SECUPD attached\n";

class LifecycleTest : public ScalTest
{
protected:
    void SetUp() override
    {
        ScalTest::SetUp();
        PutDebugMarker();
        UseScript("");
    }
    // A new simulated controller, the library not yet started: a 13G server
    // whose repository holds `partitions` (by default a static partition in
    // slot 0 and the package's dynamic partition in slot 2, both attached);
    // `extra` adds to or overrides that.
    void UseScript(const std::string& extra, const std::string& partitions = kBothPartitions)
    {
        UseSimulatedController("generation 20\nrepository 00\naccess enabled\nhandle 002a\n" +
                                   partitions + extra,
                               false);
    }
};

TEST_F(LifecycleTest, NoMarkerNoLogAndAnExistingLogIsAppendedTo)
{
    host.files.erase("zukdebuglog");
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_FALSE(std::filesystem::exists(scratch_ + "/SCAL_DBG.log"));

    WriteScratchFile("SCAL_DBG.log", "earlier line\n");
    PutDebugMarker();
    UseScript("", "");
    EXPECT_EQ(ConstructWrapper(), -1);
    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier line");
}

// A marker another user could have planted turns no log on.
TEST_F(LifecycleTest, MarkerRootDidNotLeaveTurnsNoLogOn)
{
    const struct {
        const char* name;
        std::function<void(FakeHost&)> plant;
    } cases[] = {
        {"another user's marker", [](FakeHost& h) { h.owners["zukdebuglog"] = 65534; }},
        {"in another user's folder", [](FakeHost& h) { h.owners["."] = 65534; }},
        {"in a folder others may write", [](FakeHost& h) { h.modes["."] = 01777; }},
        {"a link", [](FakeHost& h) { h.links.insert("zukdebuglog"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PutDebugMarker();
        c.plant(host);
        EXPECT_EQ(ConstructWrapper(), -1);
        EXPECT_FALSE(std::filesystem::exists(scratch_ + "/SCAL_DBG.log"));
        host.owners.clear();
        host.modes.clear();
        host.links.clear();
    }
}

TEST_F(LifecycleTest, EveryOpenRefusedGivesUpAfterThirtySixAttempts)
{
    struct Case {
        uint8_t generationByte;
        int expectedCode;
    };
    for (const Case& c : {Case{0x0E, 5}, Case{0x20, 63}}) {
        SCOPED_TRACE(c.expectedCode);
        char generation[32];
        std::snprintf(generation, sizeof(generation), "generation %02x\n", c.generationByte);
        UseScript(generation + std::string(kRefuseEveryOpen), "");
        sleeper.sleeps.clear();
        GenerationType = -1;

        EXPECT_EQ(ConstructWrapper(), c.expectedCode);
        EXPECT_EQ(sim->RequestsOf(0xA2, 0x12).size(), 36u);
        EXPECT_EQ(sim->RequestsOf(0xA2, 0x00).size(), 36u);
        EXPECT_EQ(sleeper.sleeps, std::vector<unsigned>(36, 2));
        EXPECT_TRUE(sim->RequestsOf(0xA2, 0x01).empty());
        EXPECT_EQ(sim->stopCalls, 1u);
        PutDebugMarker();
    }
    EXPECT_TRUE(LogHas("Begin Corvel Session Failed."));
}

// A termination signal during staging: the request under way completes, the
// staging gives up at the next safe point, and the teardown runs whole (its
// own retries included): session ended, rule files removed, library stopped.
TEST_F(LifecycleTest, SignalDuringStagingStopsAtTheNextSafePointAndTearsDown)
{
    const struct {
        const char* name;
        const char* script;
        std::function<void(SimulatedController&, FakeSleeper&)> arrange;
        int thrown;          // -1: the wrapper was built
        int regResult;       // regPowerCycle's answer when built
        size_t sessionOpens; // A2/12 requests
        size_t flagRequests; // A2/11 requests
        size_t statusPolls;  // A2/0A requests
        size_t sessionEnds;  // A2/01 requests
    } cases[] = {
        {"while the session open is refused", kRefuseEveryOpen,
         [](SimulatedController&, FakeSleeper& s) {
             s.duringSleep = [] { interruption::NoteSignal(SIGTERM); };
         },
         0, 0, 1, 0, 0, 0},
        {"before the flag is set", "", [](SimulatedController&, FakeSleeper&) {}, -1, -1, 1, 0, 0,
         1},
        {"while the flag is pending", "on 30 a2 11 : pending 5\n",
         [](SimulatedController&, FakeSleeper& s) {
             s.duringSleep = [] { interruption::NoteSignal(SIGHUP); };
         },
         -1, -1, 1, 1, 0, 1},
        {"while a busy flag request is retried", "on 30 a2 11 : cc 08\n",
         [](SimulatedController& c, FakeSleeper&) {
             c.duringRequest = [](const std::vector<uint8_t>& request) {
                 if (request.size() > 2 && request[1] == 0xA2 && request[2] == 0x11) {
                     interruption::NoteSignal(SIGTERM);
                 }
             };
         },
         -1, -1, 1, 1, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // End of session answers busy once: the teardown retries it anyway.
        UseScript(c.script + std::string("on 30 a2 01 times 1 : cc 08\n"), kStaticPartition);
        sleeper = FakeSleeper();
        host.unlinked.clear();
        GenerationType = -1;
        interruption::ResetForTesting();
        c.arrange(*sim, sleeper);
        int reg = 0;
        const bool before = std::string(c.name) == "before the flag is set";
        const int thrown = ConstructWrapper([&](UpdRollbackWrapper& wrapper) {
            if (before) {
                interruption::NoteSignal(SIGTERM);
            }
            reg = wrapper.regPowerCycle();
        });
        EXPECT_EQ(thrown == -1 ? -1 : 0, c.thrown == -1 ? -1 : 0) << thrown;
        if (c.thrown == -1) {
            EXPECT_EQ(reg, c.regResult);
        }
        EXPECT_EQ(sim->RequestsOf(0xA2, 0x12).size(), c.sessionOpens);
        EXPECT_EQ(sim->RequestsOf(0xA2, 0x11).size(), c.flagRequests);
        EXPECT_EQ(sim->RequestsOf(0xA2, 0x0A).size(), c.statusPolls);
        EXPECT_EQ(sim->RequestsOf(0xA2, 0x01).size(), c.sessionEnds == 0 ? 0u : 2u);
        EXPECT_EQ(sim->State("session"), "closed");
        if (c.flagRequests == 0) {
            EXPECT_NE(sim->State("flag"), "0x05");
        }
        EXPECT_EQ(sim->stopCalls, 1u);
        EXPECT_EQ(host.unlinked,
                  (std::vector<std::string>{"/etc/udev/rules.d/98-secupdusb.rules",
                                            "/etc/udev/rules.d/00-secupd-vantor.rules"}))
            << "the rule files this run installed are removed";
        EXPECT_NE(interruption::PendingSignal(), 0);
        PutDebugMarker();
    }
}

TEST_F(LifecycleTest, SlowSessionOpenShowsEachRetryAndNothingWhenTheFirstWorks)
{
    for (unsigned refusals : {0u, 2u}) {
        SCOPED_TRACE(refusals);
        const std::string times = " times " + std::to_string(refusals) + " : cc 0d\n";
        UseScript(refusals == 0 ? "" : "on 30 a2 12" + times + "on 30 a2 00" + times, "");
        progress.events.clear();
        EXPECT_EQ(ConstructWrapper(), -1);
        std::vector<std::string> expected;
        for (unsigned attempt = 2; attempt <= refusals + 1; ++attempt) {
            expected.push_back("wait session open " + std::to_string(attempt) + "/36");
        }
        expected.push_back("done");
        EXPECT_EQ(progress.events, expected);
    }
}

TEST_F(LifecycleTest, PlainOpenAfterRefusedExtendedOpenNeedsNoPause)
{
    UseScript("on 30 a2 12 times 1 : cc 0d\n");
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_EQ(CountLog("BeginCORVELSessionExt Session failed trying with BeginCorvelSession"), 1u);
    EXPECT_EQ(sim->RequestsOf(0xA2, 0x00).size(), 1u);
    EXPECT_TRUE(sleeper.sleeps.empty());
    EXPECT_EQ(sim->State("session"), "closed");
}

TEST_F(LifecycleTest, RepositoryRefusalsGiveTheirCodes)
{
    struct Case {
        const char* name;
        const char* script;
        std::function<void(SimulatedController&, FakeHost&)> arrange;
        int expectedCode;
    };
    const auto none = [](SimulatedController&, FakeHost&) {};
    const Case cases[] = {
        {"type query fails", "on 30 ad : cc 01\n", none, 20},
        {"no repository", "repository 03\n", none, 0},
        {"access disabled", "access disabled\n", none, 55},
        {"access query fails", "on 30 ae : silent\n", none, 55},
        {"recovery with another package", "access recovery\n",
         [](SimulatedController&, FakeHost& h) { h.files["package.xml"] = kOtherPackage; }, 55},
        {"disabled even for the recovery package", "access disabled\n",
         [](SimulatedController&, FakeHost& h) { h.files["package.xml"] = kBypassPackage; }, 55},
        {"recovery package without componentID", "access recovery\n",
         [](SimulatedController&, FakeHost& h) {
             h.files["package.xml"] =
                 "<SoftwareComponent><SupportedDevices><Device/></SupportedDevices>"
                 "</SoftwareComponent>";
         },
         55},
        {"not root", "", [](SimulatedController&, FakeHost& h) { h.rootAllowed = false; }, 0},
        {"no IPMI device", "", [](SimulatedController& c, FakeHost&) { c.startResult = 257; }, 46},
        {"USB arbitrator on ESXi", "",
         [](SimulatedController&, FakeHost& h) {
             h.kernelName = "vmkernel";
             h.shellStatus = [](const std::string&) { return 0; };
         },
         56},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseScript(c.script, "");
        host = FakeHost();
        host.files["/etc/redhat-release"] = "Red Hat Enterprise Linux release 9.2\n";
        c.arrange(*sim, host);
        GenerationType = -1;

        EXPECT_EQ(ConstructWrapper(), c.expectedCode);
        EXPECT_EQ(sim->State("session"), "closed");
        EXPECT_EQ(sim->State("flag"), "none");
        EXPECT_EQ(host.unloadUSBCalls, 1u);
        EXPECT_EQ(sim->stopCalls, 1u);
        EXPECT_TRUE(host.created.empty()); // no rule file left behind
    }
}

TEST_F(LifecycleTest, RecoveryStateIsBypassedOnlyForTheRecoveryPackage)
{
    UseScript("access recovery\n");
    host.files["package.xml"] = kBypassPackage;
    int thrown = ConstructWrapper([&](UpdRollbackWrapper& wrapper) {
        EXPECT_EQ(wrapper.GetAccessState(), 0);
        EXPECT_EQ(wrapper.regPowerCycle(), 0);
    });
    EXPECT_EQ(thrown, -1);
    EXPECT_TRUE(LogHas("QP is in recovery state."));
    EXPECT_EQ(sim->State("flag"), "0x05");
}

TEST_F(LifecycleTest, NoIPMIDeviceMeansNoRequestAndFullTeardown)
{
    sim->startResult = 257;
    EXPECT_EQ(ConstructWrapper(), 46);
    EXPECT_TRUE(sim->requests.empty());
    int loading = LogIndex("Loading or Intialization of VEX IPMI Library Failed");
    ASSERT_GE(loading, 0);
    EXPECT_EQ(LogMessages()[loading + 1], "SCAL Library initialization failed");
    EXPECT_TRUE(LogHas("Could not create Secure Corvel object"));
    // Nothing was installed, so nothing is removed.
    EXPECT_TRUE(host.created.empty());
    EXPECT_TRUE(host.unlinked.empty());
}

TEST_F(LifecycleTest, UsbArbitratorCheckDependsOnTheVMwareFlavour)
{
    struct Case {
        std::function<void(FakeHost&)> arrange;
        std::string command;
    };
    const Case cases[] = {
        {[](FakeHost& h) { h.kernelName = "VMkernel"; },
         "ps | grep -i -q vmware-usbarbitrator  > /dev/null"},
        {[](FakeHost& h) { h.files["/etc/vmware-release"] = "VMware ESX 4.1 (Kandinsky)\n"; },
         "ps aux | grep -v grep | grep -q vmware-usbarbitrator > /dev/null"},
    };
    for (const Case& c : cases) {
        host = FakeHost();
        UseScript("", "");
        c.arrange(host);
        host.shellStatus = [&](const std::string& command) { return command == c.command ? 0 : 1; };
        EXPECT_EQ(ConstructWrapper(), 56) << c.command;
        EXPECT_TRUE(host.created.empty());
        EXPECT_TRUE(sim->requests.size() == 1u); // the type query only
    }
}

TEST_F(LifecycleTest, SignalIgnoreFailureIsLoggedAndConstructionGoesOn)
{
    host.signalIgnoreWorks = false;
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_TRUE(LogHas("CSignalHandler::setupSignalHandlers() : signal is failed"));
}

TEST_F(LifecycleTest, RealSignalDispositionIsIgnoreAfterConstruction)
{
    // The real host: only the signal call is made for real here.
    class SignalOnlyHost : public FakeHost
    {
    public:
        bool IgnoreInterruptSignal() override
        {
            struct sigaction action = {};
            action.sa_handler = SIG_IGN;
            sigemptyset(&action.sa_mask);
            return sigaction(SIGINT, &action, nullptr) == 0;
        }
    } signalHost;
    signalHost.files = host.files;
    struct sigaction before = {};
    sigaction(SIGINT, nullptr, &before);
    EXPECT_EQ(ConstructWrapperWith(ScalSeams{Borrow(signalHost), Borrow(sleeper)}), -1);
    struct sigaction now = {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sigaction(SIGINT, &before, nullptr);
}

TEST_F(LifecycleTest, ExceptionInTeardownSkipsTheRestAndReturns)
{
    host.onUnloadUSB = [] { throw std::bad_alloc(); };
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_TRUE(LogHas("secureCorvel::~secureCorvel() caught bad allocation excepton occured "));
    EXPECT_TRUE(bCorvelDebugLog); // the close was skipped
}

TEST_F(LifecycleTest, FailedEndOfSessionIsLoggedAndTheStateClearedAnyway)
{
    UseScript("on 30 a2 01 : cc 01\n");
    {
        UpdRollbackWrapper wrapper(Seams());
        EXPECT_TRUE(wrapper.IsSessionOpen());
    }
    EXPECT_EQ(CountLog("EndCorvelSession failed"), 3u);
    EXPECT_EQ(sim->RequestsOf(0xA2, 0x01).size(), 1u);
}

TEST_F(LifecycleTest, SessionGrantedWithHandleZeroIsNotEndedButForgotten)
{
    UseScript("handle 0\n");
    int thrown = ConstructWrapper([&](UpdRollbackWrapper& wrapper) {
        EXPECT_TRUE(wrapper.IsSessionOpen());
        EXPECT_EQ(wrapper.GetSessionHandle(), 0);
    });
    EXPECT_EQ(thrown, -1);
    EXPECT_TRUE(sim->RequestsOf(0xA2, 0x01).empty());
    EXPECT_TRUE(LogHas("Corvel Session Handle(0, 0)"));
}

TEST_F(LifecycleTest, GenerationIsAskedOncePerProcess)
{
    UseScript("on 30 a2 12 : cc 0d\non 30 a2 00 times 1 : cc 0d\n");
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_EQ(sim->RequestsOf(0xBD).size(), 1u);
    EXPECT_TRUE(LogHas("GetSystemGeneration : Returning Cached Value:1"));

    UseScript("", "");
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_TRUE(sim->RequestsOf(0xBD).empty());
}

TEST_F(LifecycleTest, SuccessfulRunSendsTheRequestsInOrderAndEndsTheSession)
{
    int thrown = ConstructWrapper([&](UpdRollbackWrapper& wrapper) {
        EXPECT_TRUE(wrapper.IsIPMIReady());
        EXPECT_EQ(wrapper.regPowerCycle(), 0);
        EXPECT_EQ(wrapper.getSCALError(), 0);
    });
    EXPECT_EQ(thrown, -1);

    EXPECT_EQ(sim->Sequence(),
              (std::vector<std::string>{"AD", "BD", "AD", "AE", "A2/12", "A2/03", "A2/04", "A2/06",
                                        "A2/03", "A2/04", "A2/08", "A2/11", "A2/01"}));
    auto flag = sim->RequestsOf(0xA2, 0x11);
    ASSERT_EQ(flag.size(), 1u);
    EXPECT_EQ(flag[0], (std::vector<uint8_t>{0x30, 0xA2, 0x11, 0x2A, 0x00, 0x00, 0x05}));
    auto open = sim->RequestsOf(0xA2, 0x12);
    EXPECT_EQ(open[0], (std::vector<uint8_t>{0x30, 0xA2, 0x12, 0x02, 0xB0, 0x04, 0x00, 0x00}));
    auto detach = sim->RequestsOf(0xA2, 0x06);
    EXPECT_EQ(detach[0], (std::vector<uint8_t>{0x30, 0xA2, 0x06, 0x2A, 0x00, 0x00, 0xFF, 0x00, 0x00,
                                               0x00, 0xFF, 0x00, 0x00}));
    auto erase = sim->RequestsOf(0xA2, 0x08);
    EXPECT_EQ(erase[0], (std::vector<uint8_t>{0x30, 0xA2, 0x08, 0x2A, 0x00, 0x00, 0x04, 0x00, 0x00,
                                              0x00, 0x00}));

    EXPECT_EQ(sim->State("flag"), "0x05");
    EXPECT_EQ(sim->State("session"), "closed");
    EXPECT_EQ(sim->State("dynamic.2"), "SECUPD deleted");
    EXPECT_EQ(sim->stopCalls, 1u);
    EXPECT_TRUE(sleeper.sleeps.empty());
    EXPECT_EQ(host.signalIgnoreCalls, 1u);
    EXPECT_EQ(host.unloadUSBCalls, 1u);

    // Host side: partitions unmounted before the detach, rules in and out.
    EXPECT_EQ(host.CountShell("umount /tmp/COR001 > /dev/null 2>&1"), 1u);
    EXPECT_EQ(host.unmounts, std::vector<std::string>{"/tmp/SECUPD"});
    EXPECT_EQ(host.CountShell("chmod 755 /etc/udev/rules.d//98-secupdusb.rules  > /dev/null 2>&1"),
              1u);
    EXPECT_EQ(host.unlinked,
              (std::vector<std::string>{"/etc/udev/rules.d/98-secupdusb.rules",
                                        "/etc/udev/rules.d/00-secupd-vantor.rules"}));
    EXPECT_TRUE(host.created.empty());

    std::vector<std::string> messages = LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "Debug message logging started.");
    EXPECT_EQ(messages.back(), "secureCorvel::~secureCorvel() after delete m_pNotificationThread ");
    EXPECT_TRUE(LogHas("Corvel Session Handle(2a, 0)"));
    EXPECT_TRUE(LogHas("Secure Corvel initialized successfully"));
    EXPECT_TRUE(LogHas("Setting the SSM flag succeeded"));
    EXPECT_TRUE(LogHas("EndCorvelSession succeeded"));
    EXPECT_FALSE(bCorvelDebugLog);

    const std::regex layout(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] : [A-Za-z]+:\d+: .*$)");
    for (const std::string& line : LogLines()) {
        if (line.empty() || line == " ") {
            continue; // the tail of a message that ends with a newline
        }
        EXPECT_TRUE(std::regex_match(line, layout)) << line;
    }
}

TEST_F(LifecycleTest, SeventeenGStagesTheFlagWithoutASession)
{
    UseScript("generation 61\n");
    int thrown = ConstructWrapper(
        [&](UpdRollbackWrapper& wrapper) { EXPECT_EQ(wrapper.regPowerCycle(), 0); });
    EXPECT_EQ(thrown, -1);
    EXPECT_EQ(sim->Sequence(), (std::vector<std::string>{"AD", "BD", "A2/11"}));
    EXPECT_EQ(sim->RequestsOf(0xA2, 0x11)[0],
              (std::vector<uint8_t>{0x30, 0xA2, 0x11, 0x00, 0x00, 0x00, 0x05}));
    EXPECT_EQ(GenerationType, 6);
    EXPECT_TRUE(LogHas("INFO - This is >17G server. SecureCorvel IPMI calls are not supported."));
}

TEST_F(LifecycleTest, FlagRefusedOutsideASessionBeforeSeventeenG)
{
    TestCorvel corvel(Seams());
    EXPECT_EQ(corvel.regPowerCycle(), -1);
    EXPECT_EQ(corvel.getSCALError(), SCAL_SET_STATE_FLAG_FAILED);
    std::vector<std::string> messages = LogMessages();
    int failed = LogIndex("IPMI call for setStateFlag failed.");
    ASSERT_GE(failed, 0);
    EXPECT_EQ(messages[failed + 1], "Setting the SSM flag failed");
}

} // namespace
} // namespace scaltest
