// The request builders against the controller's byte tables: every byte of
// every request the access layer sends, and the response length it expects;
// the answer readers against answers as the controller lays them out.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "OEMRequests.h"
#include "VEXIPMIUtil.h"

namespace
{

struct BuilderCase {
    const char* name;
    OEMRequest built;
    std::vector<uint8_t> bytes;
    unsigned responseLength;
};

TEST(OEMRequestsTest, EveryBuilderGivesTheTableBytesAndLengths)
{
    using namespace oemrequest;
    const BuilderCase cases[] = {
        {"session open, time-out low byte first",
         BeginSession(1200),
         {0x30, 0xA2, 0x00, 0x00, 0xB0, 0x04, 0x00, 0x00},
         9},
        {"extended session open, mode 2",
         BeginSessionExtended(0x1234),
         {0x30, 0xA2, 0x12, 0x02, 0x34, 0x12, 0x00, 0x00},
         9},
        {"end session", EndSession(0xBEEF), {0x30, 0xA2, 0x01, 0xEF, 0xBE, 0x00, 0x00}, 5},
        {"partition index", PartitionIndex(0x0102), {0x30, 0xA2, 0x03, 0x02, 0x01, 0x00, 0x00}, 13},
        {"partition info, static slot",
         PartitionInfo(0x1234, false, 3),
         {0x30, 0xA2, 0x04, 0x34, 0x12, 0x00, 0x03, 0x00, 0x00},
         14},
        {"partition info, dynamic slot",
         PartitionInfo(0x1234, true, 7),
         {0x30, 0xA2, 0x04, 0x34, 0x12, 0x80, 0x07, 0x00, 0x00},
         14},
        {"detach, static at 5-6 and dynamic at 9-10",
         Detach(0x1234, 0xFF00, 0x0201),
         {0x30, 0xA2, 0x06, 0x34, 0x12, 0x00, 0xFF, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00},
         7},
        {"delete dynamic partition",
         DeleteDynamicPartition(0x1234, 0x0100),
         {0x30, 0xA2, 0x08, 0x34, 0x12, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00},
         11},
        {"set state flag, flag at byte 6",
         SetStateFlag(0x1234, 5),
         {0x30, 0xA2, 0x11, 0x34, 0x12, 0x00, 0x05},
         7},
        {"set state flag without a session",
         SetStateFlag(0, 5),
         {0x30, 0xA2, 0x11, 0x00, 0x00, 0x00, 0x05},
         7},
        {"status poll names the followed sub-command",
         StatusPoll(0x1234, 0x11),
         {0x30, 0xA2, 0x0A, 0x34, 0x12, 0x11, 0x00, 0x00},
         7},
        {"repository type", RepositoryType(), {0x30, 0xAD, 0x00, 0x00}, 6},
        {"access state", AccessState(), {0x30, 0xAE, 0x00, 0x00}, 6},
        {"system generation", SystemGeneration(), {0x30, 0xBD}, 9},
        {"cold reset", ColdReset(), {0x06, 0x02}, 0},
    };
    for (const BuilderCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.built.bytes, c.bytes);
        EXPECT_EQ(c.built.responseLength, c.responseLength);
    }
}

TEST(OEMRequestsTest, PuttingARequestLeavesTheRestOfTheRecordAsItWas)
{
    _VEXIPMICommandData record;
    ClearIPMIRecord(record);
    IPMIRequestBytes(record)[2] = 0x77; // left over from an earlier request
    IPMIResponseBytes(record)[2] = 0x05;
    PutRequest(record, oemrequest::SystemGeneration());
    EXPECT_EQ(IPMIRequestBytes(record)[0], 0x30);
    EXPECT_EQ(IPMIRequestBytes(record)[1], 0xBD);
    EXPECT_EQ(IPMIRequestBytes(record)[2], 0x77);
    EXPECT_EQ(IPMIResponseBytes(record)[2], 0x05);
    EXPECT_EQ(IPMIRequestLength(record), 2u);
    EXPECT_EQ(IPMIResponseLength(record), 9u);
}

TEST(OEMRequestsTest, CommandNamesComeFromTheSubCommandList)
{
    EXPECT_EQ(getIPMICommandName(eSetStateFlag), "setStateFlagCmd");
    EXPECT_EQ(getIPMICommandName(eGetPartitionIndexInfo), "Getpartitionindexinfo");
    EXPECT_EQ(getIPMICommandName(eGetVantorSystemInfo), "GetVantorSystemInfo");
    EXPECT_EQ(getIPMICommandName(0x21), "");
}

// Each field as "name=hex", or "none" when the reader refused the answer.
using Reader = std::function<std::string(const OEMAnswer&)>;

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%X", value);
    return text;
}

template <typename Answer>
Reader Fields(std::optional<Answer> (*read)(const OEMAnswer&),
              std::function<std::string(const Answer&)> show)
{
    return [read, show](const OEMAnswer& answer) {
        const std::optional<Answer> fields = read(answer);
        return fields ? show(*fields) : std::string("none");
    };
}

struct ReaderCase {
    const char* name;
    Reader reader;
    std::vector<uint8_t> answer; // from the network function on
    std::string fields;
    unsigned shortest; // the fewest bytes that hold every field
};

TEST(OEMRequestsTest, EveryReaderNamesTheFieldsAndRefusesAnAnswerCutBeforeThem)
{
    using namespace oemanswer;
    const ReaderCase cases[] = {
        {"completion code",
         Fields<Completion>(ReadCompletion, [](const Completion& a) { return Hex(a.code); }),
         {0x31, 0xA2, 0xC9},
         "C9",
         3},
        {"session handle, low byte first",
         Fields<Session>(ReadSession, [](const Session& a) { return Hex(a.handle); }),
         {0x31, 0xA2, 0x00, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00},
         "1234",
         5},
        {"partition maps, each high byte first",
         Fields<PartitionIndex>(
             ReadPartitionIndex,
             [](const PartitionIndex& a) { return Hex(a.staticMap) + "/" + Hex(a.dynamicMap); }),
         {0x31, 0xA2, 0x00, 0x34, 0x12, 0x00, 0x81, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00},
         "81/104",
         11},
        {"partition name",
         Fields<PartitionInfo>(
             ReadPartitionInfo,
             [](const PartitionInfo& a) { return std::string(a.name.begin(), a.name.end()); }),
         {0x31, 0xA2, 0x00, 0x34, 0x12, 0x80, 0x02, 'S', 'E', 'C', 'U', 'P', 'D', 0x00},
         "SECUPD",
         13},
        {"status of the sub-command followed",
         Fields<StatusPoll>(ReadStatusPoll, [](const StatusPoll& a) { return Hex(a.status); }),
         {0x31, 0xA2, 0x00, 0x34, 0x12, 0x02, 0x11},
         "2",
         6},
        {"repository type",
         Fields<RepositoryType>(ReadRepositoryType,
                                [](const RepositoryType& a) { return Hex(a.type); }),
         {0x31, 0xAD, 0x00, 0x02, 0x00, 0x00},
         "2",
         4},
        {"access state",
         Fields<AccessState>(ReadAccessState, [](const AccessState& a) { return Hex(a.state); }),
         {0x31, 0xAE, 0x00, 0x01, 0x00, 0x00},
         "1",
         4},
        {"system generation",
         Fields<SystemGeneration>(ReadSystemGeneration,
                                  [](const SystemGeneration& a) { return Hex(a.generation); }),
         {0x31, 0xBD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61},
         "61",
         9},
    };
    for (const ReaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned whole = static_cast<unsigned>(c.answer.size());
        EXPECT_EQ(c.reader(OEMAnswer{c.answer.data(), whole}), c.fields);
        EXPECT_EQ(c.reader(OEMAnswer{c.answer.data(), c.shortest}), c.fields);
        EXPECT_EQ(c.reader(OEMAnswer{c.answer.data(), c.shortest - 1}), "none");
        EXPECT_EQ(c.reader(OEMAnswer{nullptr, whole}), "none");
    }
}

TEST(OEMRequestsTest, AnAnswerIsReadFromTheRecordWithTheLengthReceived)
{
    _VEXIPMICommandData record;
    ClearIPMIRecord(record);
    PutRequest(record, oemrequest::AccessState());
    PutCompletion(record, 0xC1);
    SetIPMILengths(record, 4, 3); // refused: the completion code alone came
    EXPECT_EQ(oemanswer::ReadCompletion(AnswerOf(record))->code, 0xC1);
    EXPECT_FALSE(oemanswer::ReadAccessState(AnswerOf(record)));
}

} // namespace
