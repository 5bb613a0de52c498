#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "Logger.h"

using foundationtest::exists;
using foundationtest::readFile;
using foundationtest::TempDir;

namespace
{

class LoggerTest : public ::testing::Test
{
protected:
    void SetUp() override { CLogger::ResetForTesting(); }
    void TearDown() override { CLogger::ResetForTesting(); }

    CLogger* logger() { return CLogger::GetInstance(); }

    static std::vector<std::string> lines(const std::string& text)
    {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }

    // The line without its timestamp, after checking the timestamp's shape:
    // "[YYYY-MM-DDTHH:MM:SS] ".
    static std::string afterStamp(const std::string& line)
    {
        const std::string shape = "[dddd-dd-ddTdd:dd:dd] ";
        bool ok = line.size() >= shape.size();
        for (size_t i = 0; ok && i < shape.size(); ++i) {
            ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                 : line[i] == shape[i];
        }
        if (!ok) {
            ADD_FAILURE() << "no timestamp in: " << line;
            return line;
        }
        return line.substr(shape.size());
    }

    TempDir tmp{true};
};

TEST_F(LoggerTest, LineLayout)
{
    struct Case {
        const char* file;
        unsigned int line;
        const char* text;
        std::string expected;
    };
    const Case cases[] = {
        {"cm_CMBaseUtils/src/Example.cpp", 193, "start",
         ": " + std::string(14, ' ') + "Example.cpp:  193: start"},
        {"Example.cpp", 7, "no slash", ": " + std::string(14, ' ') + "Example.cpp:    7: no slash"},
        {"a/b/AVeryLongSourceFileNameBeyond25.cpp", 12345, "long",
         ": AVeryLongSourceFileNameBeyond25.cpp:12345: long"},
        {"cm_LUMOSwitch/src/LUMOSwitchMgmt", 1234567, "wide line",
         ": " + std::string(11, ' ') + "LUMOSwitchMgmt:1234567: wide line"},
        {"dir/", 1, "", ": " + std::string(25, ' ') + ":    1: "},
    };
    ASSERT_FALSE(logger()->Initialize(tmp.file("layout.log")));
    for (const Case& c : cases) {
        logger()->log(c.file, c.line, std::string(c.text));
    }
    std::vector<std::string> got = lines(readFile(tmp.file("layout.log")));
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(afterStamp(got[i]), cases[i].expected) << cases[i].file;
    }
}

TEST_F(LoggerTest, StreamOverloadWritesThenEmptiesAndClearsTheStream)
{
    logger()->Initialize(tmp.file("stream.log"));
    std::ostringstream msg;
    msg << "status 0x" << std::hex << 255;
    logger()->log("x/Caller.cpp", 10, msg);
    EXPECT_EQ(msg.str(), "");

    // A stream in a failed state is usable again afterwards.
    msg << "first";
    msg.setstate(std::ios::failbit);
    logger()->log("x/Caller.cpp", 11, msg);
    EXPECT_TRUE(msg.good());
    msg << "next";
    logger()->log("x/Caller.cpp", 12, msg);

    std::vector<std::string> got = lines(readFile(tmp.file("stream.log")));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_THAT(afterStamp(got[0]), ::testing::EndsWith("Caller.cpp:   10: status 0xff"));
    EXPECT_THAT(afterStamp(got[1]), ::testing::EndsWith("Caller.cpp:   11: first"));
    EXPECT_THAT(afterStamp(got[2]), ::testing::EndsWith("Caller.cpp:   12: next"));
}

TEST_F(LoggerTest, OffUntilInitializedAndLeavesStreamAlone)
{
    std::ostringstream msg;
    msg << "kept";
    logger()->log("a/B.cpp", 1, std::string("dropped"));
    logger()->log("a/B.cpp", 2, msg);
    EXPECT_EQ(msg.str(), "kept");
    EXPECT_FALSE(logger()->IsInitialized());
    EXPECT_FALSE(exists(tmp.file("debug.log")));
}

TEST_F(LoggerTest, FirstOpenedFileWins)
{
    EXPECT_FALSE(logger()->Initialize("debug_inv.log"));
    EXPECT_TRUE(logger()->Initialize("other.log"));
    logger()->log("a/B.cpp", 3, std::string("here"));
    EXPECT_FALSE(exists(tmp.file("other.log")));
    EXPECT_THAT(readFile(tmp.file("debug_inv.log")), ::testing::HasSubstr("B.cpp:    3: here\n"));
}

TEST_F(LoggerTest, UnopenableNameLeavesRoomForALaterOne)
{
    EXPECT_FALSE(logger()->Initialize(""));
    EXPECT_FALSE(logger()->IsInitialized());
    EXPECT_FALSE(logger()->Initialize(tmp.file("missing/dir/x.log")));
    EXPECT_FALSE(logger()->IsInitialized());

    EXPECT_FALSE(logger()->Initialize(strBaseUtilsLogFileName));
    EXPECT_TRUE(logger()->IsInitialized());
    logger()->log("a/B.cpp", 4, std::string("late"));
    EXPECT_THAT(readFile(tmp.file("baseutils.log")), ::testing::HasSubstr("late\n"));
}

TEST_F(LoggerTest, ExistingFileIsTruncatedAndLinesAreFlushedAsWritten)
{
    tmp.write("debug_update.log", "stale line from an earlier run\n");
    logger()->Initialize("debug_update.log");
    logger()->log("a/B.cpp", 5, std::string("fresh"));
    // Read while the logger still holds the file open.
    std::vector<std::string> got = lines(readFile(tmp.file("debug_update.log")));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], ::testing::EndsWith("fresh"));
}

} // namespace
