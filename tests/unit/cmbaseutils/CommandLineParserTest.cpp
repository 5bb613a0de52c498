#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "CommandLineParser.h"
#include "FoundationTestSupport.h"
#include "Logger.h"

using foundationtest::TempDir;

namespace
{

const std::string kUsage =
    "\n"
    "Usage: -h\n"
    "\tProvides detailed help information\n"
    "\n"
    "Usage: -i [-o <output filename>] [-debug]\n"
    "\tProvides inventory information of all identified devices.\n"
    "\t-o Specifies the output filename.\n"
    "\t-d Specifies to create a debug log file.\n"
    "\n"
    "Usage: -u [-s <image folder>] [-f] [-o <output filename>] [-debug [filename]]\n"
    "===========================================================================\n";

// Runs parseCLI on "lumoswitch" followed by args, capturing standard output.
struct ParseResult {
    bool ok = false;
    std::string out;
};

ParseResult parse(CCommandLineParser& parser, const std::vector<std::string>& args)
{
    // Each parse is a run of its own: no -d of an earlier one carries over.
    CLogger::ResetForTesting();
    std::vector<std::string> storage{"lumoswitch"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    ParseResult run;
    ::testing::internal::CaptureStdout();
    run.ok = parser.parseCLI(static_cast<int>(storage.size()), argv.data());
    run.out = ::testing::internal::GetCapturedStdout();
    return run;
}

struct GrammarCase {
    std::vector<std::string> args;
    bool markerBefore;
    bool ok;
    bool usage;
    bool inventory;
    bool update;
    bool debug;
    std::string debugName;
    std::string outputName;
    bool force;
    bool verify;
    bool markerAfter;
};

std::ostream& operator<<(std::ostream& os, const GrammarCase& c)
{
    os << "args:";
    for (const std::string& a : c.args) {
        os << " [" << a << "]";
    }
    return os << (c.markerBefore ? " (marker present)" : "");
}

class GrammarTest : public ::testing::TestWithParam<GrammarCase>
{
};

TEST_P(GrammarTest, FlagsNamesAndStatus)
{
    const GrammarCase& c = GetParam();
    TempDir dir(true);
    if (c.markerBefore) {
        dir.write("zukdebuglog", "");
    }
    CCommandLineParser parser;
    ParseResult run = parse(parser, c.args);

    EXPECT_EQ(run.ok, c.ok);
    EXPECT_EQ(run.out, c.usage ? kUsage : "");
    EXPECT_EQ(parser.isInventory(), c.inventory);
    EXPECT_EQ(parser.isUpdate(), c.update);
    EXPECT_EQ(parser.isDebug(), c.debug);
    EXPECT_EQ(parser.getDebugFilename(), c.debugName);
    EXPECT_EQ(parser.getOutputFileName(), c.outputName);
    EXPECT_EQ(parser.isForceMode(), c.force);
    EXPECT_EQ(parser.isVerify(), c.verify);
    EXPECT_EQ(foundationtest::exists(dir.file("zukdebuglog")), c.markerAfter);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, GrammarTest, ::testing::Values(
    //          args                         marker ok     usage  inv    upd    debug  debug name          output      force  verify marker after
    GrammarCase{{},                          false, false, true,  false, false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-h"},                      false, true,  true,  false, false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-i", "-h", "-u"},          false, true,  true,  true,  false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-h"},                      true,  true,  true,  false, false, false, "debug.log",        "",         false, false, true},
    GrammarCase{{"-i"},                      false, true,  false, true,  false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-u"},                      false, true,  false, false, true,  false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-i", "-u"},                false, true,  false, true,  true,  false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-debug"},                  false, false, true,  false, false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-s", "dir"},               false, false, true,  false, false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-i", "-x"},                false, false, true,  true,  false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-I"},                      false, false, true,  false, false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-iu"},                     false, false, true,  false, false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"--i"},                     false, false, true,  false, false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-o=out.xml"},              false, false, true,  false, false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-i", ""},                  false, false, true,  true,  false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-i", "-o"},                false, false, true,  true,  false, false, "debug.log",        "",         false, false, false},
    GrammarCase{{"-o", "-i"},                false, true,  false, false, false, false, "debug.log",        "-i",       false, false, false},
    GrammarCase{{"-i", "-o", "inv.xml"},     false, true,  false, true,  false, false, "debug.log",        "inv.xml",  false, false, false},
    GrammarCase{{"-o", "a", "-o", "b", "-u"},false, true,  false, false, true,  false, "debug.log",        "b",        false, false, false},
    GrammarCase{{"-u", "-d"},                false, true,  false, false, true,  true,  "debug_update.log", "",         false, false, true},
    GrammarCase{{"-i", "-d", "mylog"},       false, true,  false, true,  false, true,  "mylog",            "",         false, false, true},
    GrammarCase{{"-d", "-u"},                false, true,  false, false, true,  true,  "",                 "",         false, false, true},
    GrammarCase{{"-d", "-i"},                false, true,  false, true,  false, true,  "",                 "",         false, false, true},
    GrammarCase{{"-u", "-i", "-d"},          false, true,  false, true,  true,  true,  "debug_inv.log",    "",         false, false, true},
    GrammarCase{{"-i", "-d", "-x"},          false, false, true,  true,  false, true,  "debug_inv.log",    "",         false, false, true},
    GrammarCase{{"-i"},                      true,  true,  false, true,  false, true,  "debug_inv.log",    "",         false, false, true},
    GrammarCase{{"-i", "-u"},                true,  true,  false, true,  true,  true,  "debug_update.log", "",         false, false, true},
    GrammarCase{{"-f", "-v"},                true,  true,  false, false, false, true,  "",                 "",         true,  true,  true},
    GrammarCase{{"-f", "-v", "-u"},          false, true,  false, false, true,  false, "debug.log",        "",         true,  true,  false}));
// clang-format on

TEST(CommandLineParserTest, UsageBytes)
{
    CCommandLineParser parser;
    ::testing::internal::CaptureStdout();
    parser.printUsage();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), kUsage);
}

TEST(CommandLineParserTest, MissingArgumentVectorIsAUsageError)
{
    TempDir dir(true);
    CCommandLineParser parser;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(parser.parseCLI(3, nullptr));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), kUsage);
}

TEST(CommandLineParserTest, DebugOptionEmptiesAnExistingMarker)
{
    TempDir dir(true);
    dir.write("zukdebuglog", "left over");
    CCommandLineParser parser;
    EXPECT_TRUE(parse(parser, {"-i", "-d"}).ok);
    EXPECT_EQ(foundationtest::readFile(dir.file("zukdebuglog")), "");
}

} // namespace

// The marker turns debugging on only when root left it: root's own file in
// a working directory nobody else may write. -d works wherever it is given.
TEST(CommandLineParserTest, MarkerRootDidNotLeaveTurnsNothingOn)
{
    const struct {
        const char* name;
        void (*plant)(const std::string& dir);
        bool needsRoot;
    } cases[] = {
        {"another user's marker",
         [](const std::string& d) { ASSERT_EQ(0, chown((d + "/zukdebuglog").c_str(), 65534, 0)); },
         true},
        {"a marker others may write",
         [](const std::string& d) { ASSERT_EQ(0, chmod((d + "/zukdebuglog").c_str(), 0666)); },
         false},
        {"a link to root's file",
         [](const std::string& d) {
             ASSERT_EQ(0, rename((d + "/zukdebuglog").c_str(), (d + "/file").c_str()));
             ASSERT_EQ(0, symlink((d + "/file").c_str(), (d + "/zukdebuglog").c_str()));
         },
         false},
        {"in a folder others may write",
         [](const std::string& d) { ASSERT_EQ(0, chmod(d.c_str(), 01777)); }, false},
        {"in another user's folder",
         [](const std::string& d) { ASSERT_EQ(0, chown(d.c_str(), 65534, 0)); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0) {
            continue; // only root can hand a file to another user
        }
        TempDir dir(true);
        dir.write("zukdebuglog", "");
        c.plant(dir.path());
        CCommandLineParser parser;
        EXPECT_TRUE(parse(parser, {"-i"}).ok);
        EXPECT_FALSE(parser.isDebug());
        EXPECT_FALSE(DebugLoggingWanted());

        CCommandLineParser asked;
        EXPECT_TRUE(parse(asked, {"-i", "-d"}).ok);
        EXPECT_TRUE(asked.isDebug());
        EXPECT_EQ("debug_inv.log", asked.getDebugFilename());
        EXPECT_TRUE(DebugLoggingWanted());
    }
    CLogger::ResetForTesting();
}
