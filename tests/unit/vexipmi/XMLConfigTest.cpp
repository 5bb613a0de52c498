#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "IPMITestSupport.h"
#include "VEXIPMIXMLConfiguration.h"

namespace
{

const char* const kKeys[] = {"RetryCount", "PollingInterval", "PollingCount", "RetryInterval"};

// Each file, and what the reader makes of the four keys: a value, or absent.
struct ConfigCase {
    const char* name;
    std::string contents;
    bool parsed;
    std::map<std::string, int32_t> values; // keys found; the others must be absent
};

// Test names print the case name, not the file's bytes.
void PrintTo(const ConfigCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConfigTable : public ::testing::TestWithParam<ConfigCase>
{
};

TEST_P(ConfigTable, ReadsKeysBelowTheTwoDefaultLevels)
{
    const ConfigCase& c = GetParam();
    ScopedTempCwd cwd;
    cwd.write("VEXIPMIConfig.xml", c.contents);
    VEXIPMIXMLConfig config(VEXString("VEXIPMIConfig.xml"));

    ::testing::internal::CaptureStderr(); // libxml2's own diagnostics
    EXPECT_EQ(config.Initialize(), c.parsed);
    for (const char* key : kKeys) {
        int32_t value = -12345;
        const auto expected = c.values.find(key);
        const bool found = config.GetConfigInt(VEXString(key), value);
        EXPECT_EQ(found, expected != c.values.end()) << key;
        if (found && expected != c.values.end()) {
            EXPECT_EQ(value, expected->second) << key;
        } else {
            EXPECT_EQ(value, -12345) << key;
        }
    }
    ::testing::internal::GetCapturedStderr();
}

std::string Huge()
{
    std::string padding(VEXIPMIXMLConfig::kMaxFileSize, ' ');
    return IPMIConfigXml("<RetryCount>3</RetryCount>" + padding);
}

std::string Laughs()
{
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [\n<!ENTITY a \"1111111111\">\n";
    std::string previous = "a";
    for (int i = 0; i < 12; ++i) {
        const std::string name = "e" + std::to_string(i);
        doc += "<!ENTITY " + name + " \"";
        for (int j = 0; j < 10; ++j) {
            doc += "&" + previous + ";";
        }
        doc += "\">\n";
        previous = name;
    }
    doc += "]>\n<r><d name=\"Default\"><c name=\"Default\"><RetryCount>&" + previous +
           ";</RetryCount><RetryInterval>7</RetryInterval></c></d></r>\n";
    return doc;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigTable,
    ::testing::Values(
        ConfigCase{"AllFourKeys",
                   IPMIConfigXml("<RetryCount>3</RetryCount><PollingInterval>61</PollingInterval>"
                                 "<PollingCount>7</PollingCount><RetryInterval>20</RetryInterval>"),
                   true,
                   {{"RetryCount", 3},
                    {"PollingInterval", 61},
                    {"PollingCount", 7},
                    {"RetryInterval", 20}}},
        ConfigCase{"OnlyRetryCount",
                   IPMIConfigXml("<RetryCount>3</RetryCount>"),
                   true,
                   {{"RetryCount", 3}}},
        ConfigCase{"ElementNamesOfLevelsAreFree",
                   "<a><b name=\"Default\"><c name=\"Default\"><RetryCount>4</RetryCount>"
                   "</c></b></a>",
                   true,
                   {{"RetryCount", 4}}},
        ConfigCase{"LowerCaseSecondLevel",
                   "<r><d name=\"Default\"><c name=\"default\"><RetryCount>3</RetryCount></c>"
                   "</d></r>",
                   true,
                   {}},
        ConfigCase{"MissingSecondLevel",
                   "<r><d name=\"Default\"><RetryCount>3</RetryCount></d></r>",
                   true,
                   {}},
        ConfigCase{"OnlyFirstDefaultOfFirstLevelCounts",
                   "<r><d name=\"Default\"/><d name=\"Default\"><c name=\"Default\">"
                   "<RetryCount>3</RetryCount></c></d></r>",
                   true,
                   {}},
        ConfigCase{"LaterSecondLevelSiblingSkipped",
                   "<r><x/><d name=\"Other\"/><d name=\"Default\"><c name=\"Other\">"
                   "<RetryCount>9</RetryCount></c><c name=\"Default\"><RetryCount>3</RetryCount>"
                   "</c><c name=\"Default\"><RetryCount>8</RetryCount></c></d></r>",
                   true,
                   {{"RetryCount", 3}}},
        ConfigCase{"NumberParsing",
                   IPMIConfigXml("<RetryCount>abc</RetryCount><PollingInterval>  42abc"
                                 "</PollingInterval><PollingCount>-7</PollingCount>"
                                 "<RetryInterval>99999999999</RetryInterval>"),
                   true,
                   {{"RetryCount", 0},
                    {"PollingInterval", 42},
                    {"PollingCount", -7},
                    {"RetryInterval", INT32_MAX}}},
        ConfigCase{"EmptyAndCdataText",
                   IPMIConfigXml("<RetryCount/><RetryInterval><![CDATA[ 15]]></RetryInterval>"),
                   true,
                   {{"RetryCount", 0}, {"RetryInterval", 15}}},
        ConfigCase{"EmptyFile", "", false, {}},
        ConfigCase{"Garbage", std::string("\x01\xff\xfe<<<&&&\0zz", 13), false, {}},
        ConfigCase{
            "Truncated", IPMIConfigXml("<RetryCount>3</RetryCount>").substr(0, 60), false, {}},
        ConfigCase{"HugeFile", Huge(), false, {}},
        // Nested entities must neither hang nor exhaust memory.
        ConfigCase{"EntityBomb", Laughs(), false, {}},
        // Entity references are not followed: the count reads as no number.
        ConfigCase{"EntityReference",
                   "<!DOCTYPE r [<!ENTITY n \"3\">]><r><d name=\"Default\"><c name=\"Default\">"
                   "<RetryCount>&n;</RetryCount><RetryInterval>7</RetryInterval></c></d></r>",
                   true,
                   {{"RetryCount", 0}, {"RetryInterval", 7}}}),
    [](const ::testing::TestParamInfo<ConfigCase>& p) { return std::string(p.param.name); });

TEST(XMLConfig, MissingFileIsNotParsedAndKeysAreAbsent)
{
    ScopedTempCwd cwd;
    VEXIPMIXMLConfig config(VEXString("VEXIPMIConfig.xml"));
    EXPECT_FALSE(config.Initialize());
    int32_t value = 5;
    EXPECT_FALSE(config.GetConfigInt(VEXString("RetryCount"), value));
    EXPECT_EQ(value, 5);
}

TEST(XMLConfig, ParsedOnceUntilReleasedOrRenamed)
{
    ScopedTempCwd cwd;
    cwd.write("a.xml", IPMIConfigXml("<RetryCount>3</RetryCount>"));
    cwd.write("b.xml", IPMIConfigXml("<RetryCount>4</RetryCount>"));
    VEXIPMIXMLConfig config(VEXString("a.xml"));
    int32_t value = 0;
    ASSERT_TRUE(config.GetConfigInt(VEXString("RetryCount"), value));
    EXPECT_EQ(value, 3);

    // The parsed document stays in force while the file changes.
    cwd.write("a.xml", IPMIConfigXml("<RetryCount>6</RetryCount>"));
    ASSERT_TRUE(config.GetConfigInt(VEXString("RetryCount"), value));
    EXPECT_EQ(value, 3);

    config.Release();
    ASSERT_TRUE(config.GetConfigInt(VEXString("RetryCount"), value));
    EXPECT_EQ(value, 6);

    config.SetConfigurationFileName(VEXString("b.xml"));
    ASSERT_TRUE(config.GetConfigInt(VEXString("RetryCount"), value));
    EXPECT_EQ(value, 4);
}

// The settings set how long a root process keeps retrying: a file another
// user could have planted or may change is not read, whatever it says.
TEST(XMLConfig, FileOthersCouldChangeIsNotRead)
{
    const struct {
        const char* name;
        void (*plant)(const ScopedTempCwd&);
    } cases[] = {
        {"link to a good file",
         [](const ScopedTempCwd& cwd) {
             cwd.write("good.xml", IPMIConfigXml("<RetryCount>3</RetryCount>"));
             ASSERT_EQ(symlink("good.xml", (cwd.path() + "/VEXIPMIConfig.xml").c_str()), 0);
         }},
        {"file of another user",
         [](const ScopedTempCwd& cwd) {
             cwd.write("VEXIPMIConfig.xml", IPMIConfigXml("<RetryCount>3</RetryCount>"));
             ASSERT_EQ(chown((cwd.path() + "/VEXIPMIConfig.xml").c_str(), 65534, 65534), 0);
         }},
        {"file others may write",
         [](const ScopedTempCwd& cwd) {
             cwd.write("VEXIPMIConfig.xml", IPMIConfigXml("<RetryCount>3</RetryCount>"));
             ASSERT_EQ(chmod((cwd.path() + "/VEXIPMIConfig.xml").c_str(), 0666), 0);
         }},
        {"folder others may write",
         [](const ScopedTempCwd& cwd) {
             cwd.write("VEXIPMIConfig.xml", IPMIConfigXml("<RetryCount>3</RetryCount>"));
             ASSERT_EQ(chmod(cwd.path().c_str(), 0777), 0);
         }},
    };
    if (geteuid() != 0) {
        GTEST_SKIP() << "ownership cases need root";
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTempCwd cwd;
        c.plant(cwd);
        VEXIPMIXMLConfig config(VEXString("VEXIPMIConfig.xml"));
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(config.Initialize());
        int32_t value = 5;
        EXPECT_FALSE(config.GetConfigInt(VEXString("RetryCount"), value));
        EXPECT_EQ(value, 5);
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("VEXIPMIConfig.xml"),
                  std::string::npos);
    }
}

} // namespace
