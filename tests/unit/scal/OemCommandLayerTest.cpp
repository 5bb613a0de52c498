#include <algorithm>
#include <cstdio>
#include <memory>

#include "ScalTestFixture.h"
#include "SimulatedController.h"

namespace scaltest
{
namespace
{

class OemCommandLayerTest : public ScalTest
{
protected:
    void SetUp() override
    {
        ScalTest::SetUp();
        UseScript("");
        OpenLog();
    }

    // A new simulated controller with this script, its library started.
    void UseScript(const std::string& script) { UseSimulatedController(script, true); }

    // One repository sub-command through the record the access layer uses.
    unsigned SendSubCommand(TestCorvel& corvel, uint8_t sub)
    {
        ClearIPMIRecord(IPMIReqBuf);
        return corvel.IPMIRequest(sub, &IPMIReqBuf, 7, 7);
    }
};

struct StatusCase {
    const char* name;
    std::vector<uint8_t> codes; // answers in order; the last one repeats
    unsigned expectedResult;
    unsigned expectedAttempts;
    unsigned expectedPauses;
};

TEST_F(OemCommandLayerTest, StatusCodesDriveRetriesPausesAndResult)
{
    const StatusCase cases[] = {
        {"success", {0x00}, 0, 1, 0},
        {"failure status", {0x01}, 1, 1, 0},
        {"timeout three times then success", {0x03, 0x03, 0x03, 0x00}, 0, 4, 3},
        {"retryable status never clears", {0x11}, 2, 10, 9},
        {"busy then no such device", {0x08, 0x07}, 1, 2, 1},
        {"overrun without earlier pause", {0x10}, 0, 10, 0},
        {"overrun after a pause", {0x0E, 0x10}, 2, 10, 9},
        {"controller reports disabled", {0x05}, 1, 1, 0},
        {"TIVRA invalid", {0x14}, 1, 1, 0},
        {"controller session in progress", {0x07}, 1, 1, 0},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        sleeper.sleeps.clear();
        UseScript(SimulatedController::AnswersInTurn("30 ad", c.codes));

        ClearIPMIRecord(IPMIReqBuf);
        unsigned result = OEMIPMIRequest(0xAD, 0, &IPMIReqBuf, 4, 6);

        EXPECT_EQ(result, c.expectedResult);
        EXPECT_EQ(sim->requests.size(), c.expectedAttempts);
        EXPECT_EQ(sleeper.sleeps.size(), c.expectedPauses);
        EXPECT_EQ(sleeper.Total(), 2 * c.expectedPauses);
        for (const auto& request : sim->requests) {
            EXPECT_EQ(request, (std::vector<uint8_t>{0x30, 0xAD, 0x00, 0x00}));
        }
    }
}

// Ten overruns leave open whether a state-changing request was carried out:
// that is a failure. A query still has the bytes it asked for.
TEST_F(OemCommandLayerTest, OverrunOnEveryAttemptFailsOnlyRequestsThatChangeState)
{
    const struct {
        const char* name;
        uint8_t command;
        uint8_t sub;
        unsigned expected;
    } cases[] = {
        {"set state flag", 0xA2, 0x11, 1},
        {"detach partitions", 0xA2, 0x06, 1},
        {"delete dynamic partition", 0xA2, 0x08, 1},
        {"end session", 0xA2, 0x01, 1},
        {"partition info query", 0xA2, 0x04, 0},
        {"partition index query", 0xA2, 0x03, 0},
        {"status query", 0xA2, 0x0A, 0},
        {"access state query", 0xAE, 0x00, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sleeper.sleeps.clear();
        char selector[16];
        std::snprintf(selector, sizeof(selector), c.command == 0xA2 ? "30 a2 %02x" : "30 %02x",
                      c.command == 0xA2 ? c.sub : c.command);
        UseScript(SimulatedController::AnswersInTurn(selector, {0x10}));
        ClearIPMIRecord(IPMIReqBuf);
        EXPECT_EQ(OEMIPMIRequest(c.command, c.sub, &IPMIReqBuf, 7, 7), c.expected);
        EXPECT_EQ(sim->requests.size(), 10u);
        EXPECT_TRUE(sleeper.sleeps.empty());
    }
}

TEST_F(OemCommandLayerTest, NoResponseFailsAtOnceWithoutRetrying)
{
    UseScript("on 30 ae : silent\n");
    ClearIPMIRecord(IPMIReqBuf);
    EXPECT_EQ(OEMIPMIRequest(0xAE, 0, &IPMIReqBuf, 4, 6), 1u);
    EXPECT_EQ(sim->requests.size(), 1u);
    EXPECT_TRUE(sleeper.sleeps.empty());
    EXPECT_TRUE(LogHas("ProcessCorvelIPMICommand: RKIPMCommand ERROR "));
}

TEST_F(OemCommandLayerTest, PendingSubCommandIsPolledOnceASecondUntilItEnds)
{
    TestCorvel corvel(Seams());
    UseScript("handle 1234\non 30 a2 11 : pending 2\n");
    sim->OpenSessionBeforehand();
    corvel.OpenSessionForTest(0x1234);
    sleeper.sleeps.clear();

    ClearIPMIRecord(IPMIReqBuf);
    PutRequest(IPMIReqBuf, oemrequest::SetStateFlag(0x1234, 5));
    EXPECT_EQ(corvel.IPMIRequest(0x11, &IPMIReqBuf, 7, 7), 0u);

    EXPECT_EQ(sim->State("flag"), "0x05");
    auto polls = sim->RequestsOf(0xA2, 0x0A);
    ASSERT_EQ(polls.size(), 3u);
    for (const auto& poll : polls) {
        EXPECT_EQ(poll, (std::vector<uint8_t>{0x30, 0xA2, 0x0A, 0x34, 0x12, 0x11, 0x00, 0x00}));
    }
    EXPECT_EQ(sleeper.sleeps, (std::vector<unsigned>{1, 1, 1}));
    EXPECT_TRUE(LogHas("Polling Count 2 "));
    EXPECT_TRUE(LogHas("SubCmdStatus: 0"));
    EXPECT_EQ(progress.events,
              (std::vector<std::string>{"wait setStateFlagCmd pending 1/3000",
                                        "wait setStateFlagCmd pending 2/3000",
                                        "wait setStateFlagCmd pending 3/3000", "done"}));
}

// A status answer cut before its status byte says nothing about the request
// followed; read as the zeros behind it, it made a pending request succeed.
TEST_F(OemCommandLayerTest, StatusAnswerWithoutItsStatusLeavesTheRequestPending)
{
    TestCorvel corvel(Seams());
    UseScript("handle 1234\non 30 a2 11 : pending 2\non 30 a2 0a : length 2\n");
    sim->OpenSessionBeforehand();
    corvel.OpenSessionForTest(0x1234);

    ClearIPMIRecord(IPMIReqBuf);
    PutRequest(IPMIReqBuf, oemrequest::SetStateFlag(0x1234, 5));
    EXPECT_EQ(corvel.IPMIRequest(0x11, &IPMIReqBuf, 7, 7), 2u);

    EXPECT_EQ(sim->RequestsOf(0xA2, 0x0A).size(), 1u);
    EXPECT_TRUE(LogHas("GetCORVELStatus: answer of 5 bytes ends before the fields it must hold"));
    EXPECT_TRUE(LogHas("GetCORVELStatus Command returned: FAILURE.  Breaking out of Poll Loop"));
}

// A library that stores an answer of the network function and command
// alone: no completion code came. The simulated controller always sends one.
class AnswerWithoutCompletionCode : public IScalIPMILibrary
{
public:
    unsigned requests = 0;
    unsigned Start(_VEXIPMIConfiguration*) override { return 0; }
    unsigned Request(_VEXIPMICommandData* record) override
    {
        ++requests;
        uint8_t* response = IPMIResponseBytes(*record);
        std::fill(response, response + 255, 0);
        response[0] = static_cast<uint8_t>(IPMIRequestBytes(*record)[0] | 1);
        response[1] = IPMIRequestBytes(*record)[1];
        SetIPMILengths(*record, IPMIRequestLength(*record), 2);
        return 0;
    }
    void Stop() override {}
    bool IsStarted() const override { return true; }
};

// Read as the zeros behind it, such an answer was a success.
TEST_F(OemCommandLayerTest, AnswerWithoutACompletionCodeIsAFailure)
{
    auto library = std::make_shared<AnswerWithoutCompletionCode>();
    SetOEMCommandSeams(OEMCommandSeams{library, Borrow(sleeper)});
    ClearIPMIRecord(IPMIReqBuf);
    EXPECT_EQ(OEMIPMIRequest(0xAD, 0, &IPMIReqBuf, 4, 6), 1u);
    EXPECT_EQ(library->requests, 1u);
    EXPECT_TRUE(sleeper.sleeps.empty());
    EXPECT_TRUE(LogHas("ProcessCorvelIPMICommand: RepositoryType: answer of 2 bytes ends before "
                       "the fields it must hold"));
}

TEST_F(OemCommandLayerTest, EveryAttemptResendsTheRecordAsPrepared)
{
    UseScript("handle 1234\non 30 a2 11 times 1 : cc 03\n");
    sim->OpenSessionBeforehand();
    TestCorvel corvel(Seams());
    sim->requests.clear();
    ClearIPMIRecord(IPMIReqBuf);
    IPMIRequestBytes(IPMIReqBuf)[3] = 0x34;
    IPMIRequestBytes(IPMIReqBuf)[4] = 0x12;
    IPMIRequestBytes(IPMIReqBuf)[6] = 0x05;
    EXPECT_EQ(corvel.IPMIRequest(0x11, &IPMIReqBuf, 7, 7), 0u);
    ASSERT_EQ(sim->requests.size(), 2u);
    EXPECT_EQ(sim->requests[0], sim->requests[1]);
    EXPECT_EQ(sim->requests[1], (std::vector<uint8_t>{0x30, 0xA2, 0x11, 0x34, 0x12, 0x00, 0x05}));
}

TEST_F(OemCommandLayerTest, SuccessTakesANonZeroHandleAndKeepsTheOldOneOtherwise)
{
    TestCorvel corvel(Seams());
    corvel.OpenSessionForTest(0x0101);
    UseScript("on 30 a2 11 times 1 : data 2a 00\non 30 a2 11 skip 1 : data 00 00\n");
    EXPECT_EQ(SendSubCommand(corvel, 0x11), 0u);
    EXPECT_EQ(corvel.GetSessionHandle(), 0x002A);
    EXPECT_TRUE(LogHas("New Corvel Handle = 42"));

    EXPECT_EQ(SendSubCommand(corvel, 0x11), 0u);
    EXPECT_EQ(corvel.GetSessionHandle(), 0x002A);
}

TEST_F(OemCommandLayerTest, WithoutAStartedLibraryNothingIsSent)
{
    sim->started = false;
    ClearIPMIRecord(IPMIReqBuf);
    EXPECT_EQ(OEMIPMIRequest(0xAD, 0, &IPMIReqBuf, 4, 6), 1u);
    EXPECT_FALSE(ProcessIPMIReuestResponseUsingVEXIPMI(&IPMIReqBuf));
    EXPECT_TRUE(sim->requests.empty());
}

TEST_F(OemCommandLayerTest, ErrorCodeTextsAndTheProcessingCode)
{
    _VEXIPMICommandData record;
    ClearIPMIRecord(record);
    IPMIResponseBytes(record)[2] = 0x08;
    EXPECT_EQ(GetErrorCode(&record), 8u);
    IPMIResponseBytes(record)[2] = 0x14;
    EXPECT_EQ(GetErrorCode(&record), 1u);
    EXPECT_TRUE(sleeper.sleeps.empty());

    IPMIResponseBytes(record)[2] = 0xFF;
    EXPECT_EQ(GetErrorCode(&record), 2u);
    EXPECT_EQ(IPMIResponseBytes(record)[2], 0x02);
    EXPECT_EQ(sleeper.sleeps, std::vector<unsigned>{2});

    // Texts that end with a newline leave an empty line behind them.
    EXPECT_TRUE(LogHas("TIVRA returned CORVEL_PARTITIONS_ATTACHED"));
    EXPECT_TRUE(LogHas("Unrecognized TIVRA return code [0x14]"));
    EXPECT_TRUE(LogHas("TIVRA is processing"));
}

TEST_F(OemCommandLayerTest, ProcessingCodeTurnsIntoThePendingPath)
{
    TestCorvel corvel(Seams());
    corvel.OpenSessionForTest(7);
    UseScript("on 30 a2 06 times 1 : cc ff\non 30 a2 0a : data 00 00 00\n");

    ClearIPMIRecord(IPMIReqBuf);
    EXPECT_EQ(corvel.IPMIRequest(0x06, &IPMIReqBuf, 13, 7), 0u);
    EXPECT_EQ(sim->RequestsOf(0xA2, 0x0A).size(), 1u);
    // The processing pause, then one poll a second later.
    EXPECT_EQ(sleeper.sleeps, (std::vector<unsigned>{2, 1}));
}

TEST_F(OemCommandLayerTest, PendingThatNeverEndsGivesUpAfterThreeThousandPolls)
{
    TestCorvel corvel(Seams());
    corvel.OpenSessionForTest(9);
    UseScript("on 30 a2 08 : cc 02\non 30 a2 0a : data 00 00 02\n");

    ClearIPMIRecord(IPMIReqBuf);
    EXPECT_EQ(corvel.IPMIRequest(0x08, &IPMIReqBuf, 11, 11), 2u);
    EXPECT_EQ(sim->RequestsOf(0xA2, 0x0A).size(), 3000u);
    EXPECT_EQ(sleeper.Total(), 3000u);
}

TEST_F(OemCommandLayerTest, PollFailureOrFailedStatusNeverReadsAsSuccess)
{
    struct Case {
        const char* name;
        const char* poll; // the status query's answer
        unsigned expectedPolls;
    };
    const Case cases[] = {
        {"status query refused", "cc 01", 1},
        {"sub-command ended with an error status", "data 00 00 05", 1},
        {"status query unanswered", "silent", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseScript(std::string("on 30 a2 11 : cc 02\non 30 a2 0a : ") + c.poll + "\n");
        TestCorvel corvel(Seams());
        corvel.OpenSessionForTest(9);
        ClearIPMIRecord(IPMIReqBuf);
        EXPECT_NE(corvel.IPMIRequest(0x11, &IPMIReqBuf, 7, 7), 0u);
        EXPECT_EQ(sim->RequestsOf(0xA2, 0x0A).size(), c.expectedPolls);
    }
}

TEST_F(OemCommandLayerTest, PendingWithoutSessionSendsNoPollAndRecordsNoSession)
{
    TestCorvel corvel(Seams());
    UseScript("on 30 a2 11 : cc 02\n");
    ClearIPMIRecord(IPMIReqBuf);
    EXPECT_EQ(corvel.IPMIRequest(0x11, &IPMIReqBuf, 7, 7), 2u);
    EXPECT_TRUE(sim->RequestsOf(0xA2, 0x0A).empty());
    EXPECT_EQ(corvel.getSCALError(), SCAL_NO_ACTIVE_SESSION);
}

TEST_F(OemCommandLayerTest, RequestDumpCarriesTheSubCommandName)
{
    ClearIPMIRecord(IPMIReqBuf);
    OEMIPMIRequest(0xA2, 0x03, &IPMIReqBuf, 7, 13);
    ClearIPMIRecord(IPMIReqBuf);
    OEMIPMIRequest(0xA2, 0x55, &IPMIReqBuf, 3, 3);
    ClearIPMIRecord(IPMIReqBuf);
    OEMIPMIRequest(0xAE, 0x00, &IPMIReqBuf, 4, 6);
    EXPECT_TRUE(LogHas("Getpartitionindexinfo IPMIRequest[ 0x30 0xa2 0x03 0x00 0x00 0x00 0x00]"));
    EXPECT_TRUE(LogHas(" IPMIRequest[ 0x30 0xa2 0x55]"));
    EXPECT_TRUE(LogHas("  IPMIRequest[ 0x30 0xae 0x00 0x00]"));
    EXPECT_EQ(getIPMICommandName(0x12), "BeginCORVELSessionExtended");
    EXPECT_EQ(getIPMICommandName(0x0D), "");
}

TEST_F(OemCommandLayerTest, DumpsAreWrittenOnlyWithTheDebugFlag)
{
    LogFile.close();
    bCorvelDebugLog = false;
    ClearIPMIRecord(IPMIReqBuf);
    OEMIPMIRequest(0xAD, 0, &IPMIReqBuf, 4, 6);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(OemCommandLayerTest, StandardCommandRetriesOnlyMissingResponses)
{
    UseScript("on 06 02 : silent\n");
    EXPECT_EQ(rstTivra(), 1u);
    ASSERT_EQ(sim->requests.size(), 10u);
    EXPECT_EQ(sim->requests[0], (std::vector<uint8_t>{0x06, 0x02}));
    EXPECT_EQ(sleeper.sleeps.size(), 9u);
    EXPECT_TRUE(LogHas("RKIPMCommand ERROR from Tivra reset"));

    UseScript("on 06 02 : cc c1\n"); // answered: the code is not judged
    EXPECT_EQ(rstTivra(), 0u);
    EXPECT_EQ(sim->requests.size(), 1u);
}

TEST_F(OemCommandLayerTest, LibraryStartsWithTheFixedConfigurationAndStops)
{
    sim->started = false;
    EXPECT_EQ(InitVEXIPMILibrary(), 0u);
    EXPECT_EQ(sim->startConfiguration.PollingInterval, 60u);
    EXPECT_EQ(sim->startConfiguration.PollingCount, 5u);
    EXPECT_EQ(sim->startConfiguration.RetryCount, 5u);
    EXPECT_EQ(sim->startConfiguration.RetryInterval, 50u);
    EXPECT_TRUE(LogHas("Intialization of VEX IPMI Library successful"));
    EXPECT_EQ(ReleaseVEXIPMILibrary(), 0u);
    EXPECT_EQ(sim->stopCalls, 1u);
    EXPECT_EQ(ReleaseVEXIPMILibrary(), 0u);
    EXPECT_EQ(sim->stopCalls, 1u);
}

} // namespace
} // namespace scaltest
