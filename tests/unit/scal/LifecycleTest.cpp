#include <csignal>
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

class LifecycleTest : public ScalTest
{
protected:
    void SetUp() override
    {
        ScalTest::SetUp();
        PutDebugMarker();
        controller.staticMap = 0x0001;
        controller.staticNames[0] = "COR001";
        controller.dynMap = 0x0004;
        controller.dynNames[2] = "SECUPD";
    }
};

TEST_F(LifecycleTest, NoMarkerNoLogAndAnExistingLogIsAppendedTo)
{
    host.files.erase("zukdebuglog");
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_FALSE(std::filesystem::exists(scratch_ + "/SCAL_DBG.log"));

    WriteScratchFile("SCAL_DBG.log", "earlier line\n");
    PutDebugMarker();
    controller = FakeController();
    EXPECT_EQ(ConstructWrapper(), -1);
    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier line");
}

TEST_F(LifecycleTest, EveryOpenRefusedGivesUpAfterThirtySixAttempts)
{
    struct Case {
        uint8_t generationByte;
        int expectedCode;
    };
    for (const Case& c : {Case{0x0E, 5}, Case{0x20, 63}}) {
        SCOPED_TRACE(c.expectedCode);
        controller = FakeController();
        controller.generationByte = c.generationByte;
        controller.Always(Key(0xA2, 0x12), Cc(0x0D));
        controller.Always(Key(0xA2, 0x00), Cc(0x0D));
        sleeper.sleeps.clear();
        GenerationType = -1;

        EXPECT_EQ(ConstructWrapper(), c.expectedCode);
        EXPECT_EQ(controller.RequestsOf(Key(0xA2, 0x12)).size(), 36u);
        EXPECT_EQ(controller.RequestsOf(Key(0xA2, 0x00)).size(), 36u);
        EXPECT_EQ(sleeper.sleeps, std::vector<unsigned>(36, 2));
        EXPECT_TRUE(controller.RequestsOf(Key(0xA2, 0x01)).empty());
        EXPECT_EQ(controller.stopCalls, 1u);
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
        std::function<void(FakeController&, FakeSleeper&)> arrange;
        int thrown;          // -1: the wrapper was built
        int regResult;       // regPowerCycle's answer when built
        size_t sessionOpens; // A2/12 requests
        size_t flagRequests; // A2/11 requests
        size_t statusPolls;  // A2/0A requests
        size_t sessionEnds;  // A2/01 requests
    } cases[] = {
        {"while the session open is refused",
         [](FakeController& c, FakeSleeper& s) {
             c.Always(Key(0xA2, 0x12), Cc(0x0D));
             c.Always(Key(0xA2, 0x00), Cc(0x0D));
             s.duringSleep = [] { interruption::NoteSignal(SIGTERM); };
         },
         0, 0, 1, 0, 0, 0},
        {"before the flag is set", [](FakeController&, FakeSleeper&) {}, -1, -1, 1, 0, 0, 1},
        {"while the flag is pending",
         [](FakeController& c, FakeSleeper& s) {
             c.pendingPolls[0x11] = 5;
             s.duringSleep = [] { interruption::NoteSignal(SIGHUP); };
         },
         -1, -1, 1, 1, 0, 1},
        {"while a busy flag request is retried",
         [](FakeController& c, FakeSleeper&) {
             c.Always(Key(0xA2, 0x11), Cc(0x08));
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
        controller = FakeController();
        controller.staticMap = 0x0001;
        controller.staticNames[0] = "COR001";
        sleeper = FakeSleeper();
        host.unlinked.clear();
        GenerationType = -1;
        interruption::ResetForTesting();
        c.arrange(controller, sleeper);
        // End of session answers busy once: the teardown retries it anyway.
        controller.Script(Key(0xA2, 0x01), Cc(0x08));
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
        EXPECT_EQ(controller.RequestsOf(Key(0xA2, 0x12)).size(), c.sessionOpens);
        EXPECT_EQ(controller.RequestsOf(Key(0xA2, 0x11)).size(), c.flagRequests);
        EXPECT_EQ(controller.RequestsOf(Key(0xA2, 0x0A)).size(), c.statusPolls);
        EXPECT_EQ(controller.RequestsOf(Key(0xA2, 0x01)).size(), c.sessionEnds == 0 ? 0u : 2u);
        EXPECT_FALSE(controller.sessionOpen);
        if (c.flagRequests == 0) {
            EXPECT_NE(controller.stateFlag, 5);
        }
        EXPECT_EQ(controller.stopCalls, 1u);
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
        controller = FakeController();
        progress.events.clear();
        for (unsigned i = 0; i < refusals; ++i) {
            controller.Script(Key(0xA2, 0x12), Cc(0x0D));
            controller.Script(Key(0xA2, 0x00), Cc(0x0D));
        }
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
    controller.Script(Key(0xA2, 0x12), Cc(0x0D));
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_EQ(CountLog("BeginCORVELSessionExt Session failed trying with BeginCorvelSession"), 1u);
    EXPECT_EQ(controller.RequestsOf(Key(0xA2, 0x00)).size(), 1u);
    EXPECT_TRUE(sleeper.sleeps.empty());
    EXPECT_FALSE(controller.sessionOpen);
}

TEST_F(LifecycleTest, RepositoryRefusalsGiveTheirCodes)
{
    struct Case {
        const char* name;
        std::function<void(FakeController&, FakeHost&)> arrange;
        int expectedCode;
    };
    const Case cases[] = {
        {"type query fails", [](FakeController& c, FakeHost&) { c.Always(Key(0xAD), Cc(0x01)); },
         20},
        {"no repository", [](FakeController& c, FakeHost&) { c.corvelTypeRaw = 3; }, 0},
        {"access disabled", [](FakeController& c, FakeHost&) { c.accessState = 1; }, 55},
        {"access query fails", [](FakeController& c, FakeHost&) { c.Always(Key(0xAE), Silent()); },
         55},
        {"recovery with another package",
         [](FakeController& c, FakeHost& h) {
             c.accessState = 2;
             h.files["package.xml"] = kOtherPackage;
         },
         55},
        {"disabled even for the recovery package",
         [](FakeController& c, FakeHost& h) {
             c.accessState = 1;
             h.files["package.xml"] = kBypassPackage;
         },
         55},
        {"recovery package without componentID",
         [](FakeController& c, FakeHost& h) {
             c.accessState = 2;
             h.files["package.xml"] =
                 "<SoftwareComponent><SupportedDevices><Device/></SupportedDevices>"
                 "</SoftwareComponent>";
         },
         55},
        {"not root", [](FakeController&, FakeHost& h) { h.rootAllowed = false; }, 0},
        {"no IPMI device", [](FakeController& c, FakeHost&) { c.startResult = 257; }, 46},
        {"USB arbitrator on ESXi",
         [](FakeController&, FakeHost& h) {
             h.kernelName = "vmkernel";
             h.shellStatus = [](const std::string&) { return 0; };
         },
         56},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        controller = FakeController();
        host = FakeHost();
        host.files["/etc/redhat-release"] = "Red Hat Enterprise Linux release 9.2\n";
        c.arrange(controller, host);
        GenerationType = -1;

        EXPECT_EQ(ConstructWrapper(), c.expectedCode);
        EXPECT_FALSE(controller.sessionOpen);
        EXPECT_EQ(controller.stateFlag, -1);
        EXPECT_EQ(host.unloadUSBCalls, 1u);
        EXPECT_EQ(controller.stopCalls, 1u);
        EXPECT_TRUE(host.created.empty()); // no rule file left behind
    }
}

TEST_F(LifecycleTest, RecoveryStateIsBypassedOnlyForTheRecoveryPackage)
{
    controller.accessState = 2;
    host.files["package.xml"] = kBypassPackage;
    int thrown = ConstructWrapper([&](UpdRollbackWrapper& wrapper) {
        EXPECT_EQ(wrapper.GetAccessState(), 0);
        EXPECT_EQ(wrapper.regPowerCycle(), 0);
    });
    EXPECT_EQ(thrown, -1);
    EXPECT_TRUE(LogHas("QP is in recovery state."));
    EXPECT_EQ(controller.stateFlag, 5);
}

TEST_F(LifecycleTest, NoIPMIDeviceMeansNoRequestAndFullTeardown)
{
    controller.startResult = 257;
    EXPECT_EQ(ConstructWrapper(), 46);
    EXPECT_TRUE(controller.requests.empty());
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
        controller = FakeController();
        c.arrange(host);
        host.shellStatus = [&](const std::string& command) { return command == c.command ? 0 : 1; };
        EXPECT_EQ(ConstructWrapper(), 56) << c.command;
        EXPECT_TRUE(host.created.empty());
        EXPECT_TRUE(controller.requests.size() == 1u); // the type query only
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
    controller.Always(Key(0xA2, 0x01), Cc(0x01));
    {
        UpdRollbackWrapper wrapper(Seams());
        EXPECT_TRUE(wrapper.IsSessionOpen());
    }
    EXPECT_EQ(CountLog("EndCorvelSession failed"), 3u);
    EXPECT_EQ(controller.RequestsOf(Key(0xA2, 0x01)).size(), 1u);
}

TEST_F(LifecycleTest, SessionGrantedWithHandleZeroIsNotEndedButForgotten)
{
    controller.grantedHandle = 0;
    int thrown = ConstructWrapper([&](UpdRollbackWrapper& wrapper) {
        EXPECT_TRUE(wrapper.IsSessionOpen());
        EXPECT_EQ(wrapper.GetSessionHandle(), 0);
    });
    EXPECT_EQ(thrown, -1);
    EXPECT_TRUE(controller.RequestsOf(Key(0xA2, 0x01)).empty());
    EXPECT_TRUE(LogHas("Corvel Session Handle(0, 0)"));
}

TEST_F(LifecycleTest, GenerationIsAskedOncePerProcess)
{
    controller.Always(Key(0xA2, 0x12), Cc(0x0D));
    controller.Script(Key(0xA2, 0x00), Cc(0x0D));
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_EQ(controller.RequestsOf(Key(0xBD)).size(), 1u);
    EXPECT_TRUE(LogHas("GetSystemGeneration : Returning Cached Value:1"));

    controller = FakeController();
    EXPECT_EQ(ConstructWrapper(), -1);
    EXPECT_TRUE(controller.RequestsOf(Key(0xBD)).empty());
}

// The same run against the simulated controller's own model.
class SimLifecycleTest : public ScalTest
{
protected:
    void SetUp() override
    {
        ScalTest::SetUp();
        PutDebugMarker();
        UseScript("generation 20\n");
    }
    // A 13G server whose repository holds a static partition in slot 0 and
    // the package's dynamic partition in slot 2, both attached; `extra` adds
    // to or overrides that.
    void UseScript(const std::string& extra)
    {
        sim = UseSimulatedController(
            "repository 00\naccess enabled\nhandle 002a\n"
            "partition static 0 COR001 attached\npartition dynamic 2 SECUPD attached\n" +
                extra,
            false);
    }
};

TEST_F(SimLifecycleTest, SuccessfulRunSendsTheRequestsInOrderAndEndsTheSession)
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

TEST_F(SimLifecycleTest, SeventeenGStagesTheFlagWithoutASession)
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

TEST_F(SimLifecycleTest, FlagRefusedOutsideASessionBeforeSeventeenG)
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
