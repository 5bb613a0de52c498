// The request builders against the controller's byte tables: every byte of
// every request the access layer sends, and the response length it expects.

#include <gtest/gtest.h>

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

} // namespace
