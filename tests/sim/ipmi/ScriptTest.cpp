// Scenario script reader: what a script says, and the line it fails on.
#include "Script.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <string>

namespace
{

using simipmi::parseScript;
using simipmi::Script;

TEST(Script, ReadsSettingsAndRules)
{
    Script s = parseScript("# comment line\n"
                           "generation 0x60   # 17G\n"
                           "repository 01\n"
                           "access recovery\n"
                           "handle 2a\n"
                           "partition static 3 COR022 attached\n"
                           "partition dynamic 0 SECUPD\n"
                           "devices /dev/ipmi/0 /dev/ipmidev/0\n"
                           "code wrong-handle 0x0d\n"
                           "on 30 a2 skip 2 times 1: cc 0x0c\n"
                           "on 30 a2 11 xx xx skip 1 times 3: pending 4 status 01 delay 15\n"
                           "on 06 01 : data 01 ff length 300 stale 2\n"
                           "on * * : errno EBUSY\n");
    ASSERT_EQ(s.error, "");
    EXPECT_EQ(s.generation, 0x60);
    EXPECT_EQ(s.repositoryType, 0x01);
    EXPECT_EQ(s.accessState, 0x02);
    EXPECT_EQ(s.handle, 0x2A);
    ASSERT_EQ(s.partitions.size(), 2u);
    EXPECT_FALSE(s.partitions[0].dynamic);
    EXPECT_EQ(s.partitions[0].slot, 3u);
    EXPECT_EQ(s.partitions[0].name, "COR022");
    EXPECT_TRUE(s.partitions[0].attached);
    EXPECT_TRUE(s.partitions[1].dynamic);
    EXPECT_FALSE(s.partitions[1].attached);
    EXPECT_TRUE(s.devicesScripted);
    EXPECT_EQ(s.devices, (std::vector<std::string>{"/dev/ipmi/0", "/dev/ipmidev/0"}));
    EXPECT_EQ(s.codes.wrongHandle, 0x0D);
    EXPECT_EQ(s.codes.noSession, 0xCC) << "other codes keep their defaults";

    ASSERT_EQ(s.rules.size(), 4u);
    EXPECT_EQ(s.rules[0].line, 10u);
    EXPECT_TRUE(s.rules[0].prefix.empty());
    EXPECT_EQ(s.rules[0].skip, 2u);
    EXPECT_EQ(s.rules[0].times, 1u);
    EXPECT_TRUE(s.rules[0].hasCc);
    EXPECT_EQ(s.rules[0].cc, 0x0C);

    const simipmi::Rule& p = s.rules[1];
    EXPECT_EQ(p.prefix, (std::vector<int>{0x11, -1, -1}));
    EXPECT_EQ(p.skip, 1u);
    EXPECT_EQ(p.times, 3u);
    EXPECT_TRUE(p.pending);
    EXPECT_EQ(p.pendingPolls, 4u);
    EXPECT_EQ(p.finalStatus, 0x01);
    EXPECT_EQ(p.delayMs, 15u);

    const simipmi::Rule& d = s.rules[2];
    EXPECT_EQ(d.data, (std::vector<uint8_t>{0x01, 0xFF}));
    EXPECT_EQ(d.length, 300);
    EXPECT_EQ(d.stale, 2u);

    EXPECT_EQ(s.rules[3].netfn, -1);
    EXPECT_EQ(s.rules[3].sendErrno, EBUSY);
}

TEST(Script, DevicesNoneMeansNoDevice)
{
    Script s = parseScript("devices none\n");
    EXPECT_TRUE(s.devicesScripted);
    EXPECT_TRUE(s.devices.empty());
}

TEST(Script, ReportsTheFirstBadLine)
{
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"generation 30\nfrob 1\n", "line 2: unknown keyword 'frob'"},
        {"generation 1ff\n", "line 1: bad generation '1ff'"},
        {"handle\n", "line 1: missing handle"},
        {"partition static 8 COR001\n", "line 1: slot out of range '8'"},
        {"partition static 1 COR0001\n",
         "line 1: partition name longer than 6 characters 'COR0001'"},
        {"partition sideways 1 X\n",
         "line 1: partition kind must be static or dynamic, not 'sideways'"},
        {"partition static 1 A\npartition static 1 B\n", "line 2: slot declared twice"},
        {"on 30 a2 silent\n", "line 1: bad prefix byte 'silent'"},
        {"on 30 a2 11\n", "line 1: rule without ':' before its actions"},
        {"on 30 a2 :\n", "line 1: rule without actions"},
        {"on 30 a2 : explode\n", "line 1: unknown action 'explode'"},
        {"on 30 a2 : errno EWHATEVER\n", "line 1: unknown errno 'EWHATEVER'"},
        {"on 30 a2 : delay 1.5\n", "line 1: bad delay '1.5'"},
        {"on 06 01 : pending 2\n",
         "line 1: pending applies to repository sub-commands (30 a2) only"},
        {"code nonsense 01\n", "line 1: unknown refusal 'nonsense'"},
        {"access 30 extra\n", "line 1: unexpected 'extra'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Script s = parseScript(c.text);
        EXPECT_EQ(s.error, c.error);
    }
}

TEST(Script, LinesBeforeTheBadOneStillCount)
{
    Script s = parseScript("generation 52\nbogus\ngeneration 60\n");
    EXPECT_EQ(s.generation, 0x52);
    EXPECT_FALSE(s.error.empty());
}

TEST(Script, ShippedScenariosLoad)
{
    DIR* dir = opendir(SIM_SCENARIO_DIR);
    ASSERT_NE(dir, nullptr);
    int seen = 0;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() < 7 || name.substr(name.size() - 7) != ".script")
            continue;
        SCOPED_TRACE(name);
        ++seen;
        EXPECT_EQ(simipmi::loadScript(std::string(SIM_SCENARIO_DIR) + "/" + name).error, "");
    }
    closedir(dir);
    EXPECT_GT(seen, 0);
}

TEST(Script, ErrnoNames)
{
    EXPECT_EQ(simipmi::errnoFromName("EIO"), EIO);
    EXPECT_EQ(simipmi::errnoFromName("emsgsize"), EMSGSIZE);
    EXPECT_EQ(simipmi::errnoFromName("19"), 19);
    EXPECT_EQ(simipmi::errnoFromName("EXYZ"), 0);
    EXPECT_EQ(simipmi::errnoFromName(""), 0);
}

} // namespace
