#include "VEXLogger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "FakeHost.h"

namespace
{

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string Pad(const std::string& text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

class VEXLoggerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VEXLogger::ResetForTesting();
        VEXFile dir;
        ASSERT_TRUE(VEXFileUtil::CreateTempDirectory(VEXString("/tmp"), VEXString("vexlog"), dir));
        m_Dir = dir.GetPath().GetUTF8String();
        m_Stderr = std::tmpfile();
        ASSERT_NE(nullptr, m_Stderr);
        VEXLogger::SetStandardErrorForTesting(m_Stderr);
    }
    void TearDown() override
    {
        VEXLogger::ResetForTesting();
        VEXLogger::SetStandardErrorForTesting(nullptr);
        std::fclose(m_Stderr);
        ASSERT_EQ(0, std::system(("rm -rf '" + m_Dir + "'").c_str()));
    }

    std::string UserPath() const { return m_Dir + "/user.log"; }
    std::string InternalPath() const { return m_Dir + "/internal.log"; }

    VEXLoggingOptions Options(int32_t shown) const
    {
        VEXLoggingOptions options;
        options.SetApplicationName(VEXString("VEXIPMILibrary"));
        options.SetNumberOfSupportedLevels(5);
        options.SetNumberOfLevelsToShowInUserLog(shown);
        options.SetUserLogFile(VEXFile(VEXString(UserPath())));
        options.SetInternalLogFile(VEXFile(VEXString(InternalPath())));
        return options;
    }

    std::string Stderr()
    {
        std::fflush(m_Stderr);
        std::rewind(m_Stderr);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), m_Stderr)) > 0) {
            text.append(buffer, n);
        }
        std::fseek(m_Stderr, 0, SEEK_END);
        return text;
    }

    FixedClock m_Clock{1772895845}; // 3/7/2026 03:04PM
    ScopedClock m_Installed{m_Clock};
    std::string m_Dir;
    FILE* m_Stderr = nullptr;
};

TEST_F(VEXLoggerTest, InternalAndUserLineLayout)
{
    ASSERT_TRUE(VEXLogger::Initialize(Options(4)));
    VEXLogger::Log(VEXString("Initialize"), VEXString("cm_vexipmi/src/VEXIPMIInterfaceImpl"), 74,
                   eVEXLogInfo, "Started Logging for %s", "VEXIPMI Library");
    VEXLogger::Log(VEXString("Send"), VEXString("LVEXIPMIProcessor"), 1234, eVEXLogError, "code %d",
                   7);
    VEXLogger::Terminate();

    EXPECT_EQ("VEXIPMILibrary INFO  : 3/7/2026 03:04PM Initialize                              () "
              "VEXIPMIInterfaceImpl          : 74 Started Logging for VEXIPMI Library\n"
              "VEXIPMILibrary ERROR : 3/7/2026 03:04PM Send                                    () "
              "LVEXIPMIProcessor             :1234 code 7\n",
              ReadFile(InternalPath()));
    EXPECT_EQ("VEXIPMILibrary INFO  : 3/7/2026 03:04PM Initialize                              () "
              "VEXIPMIInterfaceImpl          :74 Started Logging for VEXIPMI Library\n"
              "VEXIPMILibrary ERROR : 3/7/2026 03:04PM Send                                    () "
              "LVEXIPMIProcessor             :1234 code 7\n",
              ReadFile(UserPath()));
    EXPECT_EQ("", Stderr());
}

// The IPMI library's logs lie in the working directory: what another user
// put there under a log's name (a link, a file of theirs, one they may
// write) is left as it was, and the logger stays silent.
TEST_F(VEXLoggerTest, AFileOthersPutAtTheLogsNameIsLeftAlone)
{
    const struct {
        const char* name;
        void (*plant)(const std::string& victim, const std::string& log);
        bool needsRoot;
    } cases[] = {
        {"symbolic link",
         [](const std::string& victim, const std::string& log) {
             ASSERT_EQ(0, symlink(victim.c_str(), log.c_str()));
         },
         false},
        {"hard link",
         [](const std::string& victim, const std::string& log) {
             ASSERT_EQ(0, link(victim.c_str(), log.c_str()));
         },
         false},
        {"another user's file",
         [](const std::string&, const std::string& log) {
             std::ofstream(log) << "precious\n";
             ASSERT_EQ(0, chown(log.c_str(), 65534, 65534));
         },
         true},
        {"a file others may write",
         [](const std::string&, const std::string& log) {
             std::ofstream(log) << "precious\n";
             ASSERT_EQ(0, chmod(log.c_str(), 0666));
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0) {
            continue; // only root can hand a file to another user
        }
        VEXLogger::ResetForTesting();
        const std::string victim = m_Dir + "/victim";
        for (const std::string& path : {victim, UserPath(), InternalPath()}) {
            std::remove(path.c_str());
        }
        std::ofstream(victim) << "precious\n";
        c.plant(victim, UserPath());
        c.plant(victim, InternalPath());
        const size_t before = Stderr().size();
        EXPECT_FALSE(VEXLogger::Initialize(Options(4)));
        VEXLogger::Log(VEXString("Initialize"), VEXString("x"), 1, eVEXLogError, "forged");
        VEXLogger::Terminate();
        for (const std::string& path : {victim, UserPath(), InternalPath()}) {
            EXPECT_EQ("precious\n", ReadFile(path)) << path;
        }
        EXPECT_EQ("Error in Initialize opening user log file: " + InternalPath() + "\n" +
                      "Error in Initialize opening user log file: " + UserPath() + "\n",
                  Stderr().substr(before));
    }
}

TEST_F(VEXLoggerTest, LevelFilterPerUserLevelCount)
{
    const char* const names[] = {"NONE", "FATAL", "ERROR", "WARN", "INFO", "TRACE", "DEBUG"};
    struct Case {
        int32_t shown;
        std::vector<int32_t> toUserFile;
        std::vector<int32_t> toStderr;
    };
    const Case cases[] = {
        {4, {0, 1, 2, 3, 4}, {}},
        {3, {0, 1, 2, 3}, {}},
        {6, {0, 1, 2, 3, 4, 6}, {}}, // TRACE only ever passes when the count is 5
        {5, {}, {5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        VEXLogger::ResetForTesting();
        std::remove(UserPath().c_str());
        std::remove(InternalPath().c_str());
        const size_t stderrBefore = Stderr().size();

        ASSERT_TRUE(VEXLogger::Initialize(Options(c.shown)));
        for (int32_t level = 0; level <= 6; ++level) {
            VEXLogger::Log(VEXString("F"), VEXString("S"), 1, level, "level %d", level);
        }
        VEXLogger::Terminate();

        const std::vector<std::string> internal = Lines(ReadFile(InternalPath()));
        ASSERT_EQ(7u, internal.size());
        for (int32_t level = 0; level <= 6; ++level) {
            EXPECT_EQ(0u, internal[level].find(std::string("VEXIPMILibrary ") +
                                               Pad(names[level], 5) + " : "))
                << internal[level];
        }
        std::vector<std::string> expectedUser;
        for (int32_t level : c.toUserFile) {
            expectedUser.push_back("level " + std::to_string(level));
        }
        std::vector<std::string> user;
        for (const std::string& line : Lines(ReadFile(UserPath()))) {
            user.push_back(line.substr(line.find(":1 ") + 3));
        }
        EXPECT_EQ(expectedUser, user);
        std::vector<std::string> expectedStderr;
        for (int32_t level : c.toStderr) {
            expectedStderr.push_back("level " + std::to_string(level));
        }
        std::vector<std::string> errors;
        for (const std::string& line : Lines(Stderr().substr(stderrBefore))) {
            errors.push_back(line.substr(line.find(":1 ") + 3));
        }
        EXPECT_EQ(expectedStderr, errors);
    }
}

// With five levels shown, the first TRACE message moves the user log to
// standard error for good: the file is left alone from then on, even after
// Terminate and a new Initialize.
TEST_F(VEXLoggerTest, TraceMovesUserLogToStandardErrorForGood)
{
    ASSERT_TRUE(VEXLogger::Initialize(Options(5)));
    VEXLogger::Log(VEXString("F"), VEXString("S"), 1, eVEXLogInfo, "info one");
    VEXLogger::Log(VEXString("F"), VEXString("S"), 2, eVEXLogTrace, "trace one");
    VEXLogger::Log(VEXString("F"), VEXString("S"), 3, eVEXLogTrace, "trace two\n");
    EXPECT_TRUE(VEXLogger::Terminate());
    EXPECT_TRUE(VEXLogger::Initialize(Options(5)));
    VEXLogger::Log(VEXString("F"), VEXString("S"), 4, eVEXLogTrace, "trace three");
    VEXLogger::Terminate();

    EXPECT_EQ("", ReadFile(UserPath()));
    EXPECT_EQ(4u, Lines(ReadFile(InternalPath())).size());
    const std::vector<std::string> errors = Lines(Stderr());
    ASSERT_EQ(3u, errors.size());
    EXPECT_EQ("VEXIPMILibrary TRACE : 3/7/2026 03:04PM " + Pad("F", 40) + "() " + Pad("S", 30) +
                  ":2 trace one",
              errors[0]);
    EXPECT_NE(std::string::npos, errors[2].find(":4 trace three"));
}

TEST_F(VEXLoggerTest, NewlinesAndWideFields)
{
    ASSERT_TRUE(VEXLogger::Initialize(Options(4)));
    const std::string longName(45, 'f');
    VEXLogger::Log(VEXString("F"), VEXString("S"), 1, eVEXLogInfo, "ends in newline\n");
    VEXLogger::Log(VEXString("F"), VEXString("S"), 2, eVEXLogInfo, "%s", "");
    VEXLogger::Log(VEXString(longName), VEXString("dir/caf\xC3\xA9"), 3, eVEXLogInfo, "m");
    VEXLogger::Log(VEXString("F"), VEXString("S"), 4, 9, "odd level");
    VEXLogger::Terminate();

    const std::string prefix =
        "VEXIPMILibrary INFO  : 3/7/2026 03:04PM " + Pad("F", 40) + "() " + Pad("S", 30) + ":";
    const std::vector<std::string> lines = Lines(ReadFile(InternalPath()));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(prefix + "  1 ends in newline", lines[0]);
    EXPECT_EQ(prefix + "  2 ", lines[1]);
    EXPECT_EQ("VEXIPMILibrary INFO  : 3/7/2026 03:04PM " + longName + "() " +
                  Pad("caf\xC3\xA9", 30) + ":  3 m",
              lines[2]);
    EXPECT_EQ(0u, lines[3].find("VEXIPMILibrary 9     : "));
}

TEST_F(VEXLoggerTest, AppendsToExistingLogAndCreatesMissingOne)
{
    {
        std::ofstream(InternalPath()) << "earlier run\n";
    }
    ASSERT_TRUE(VEXLogger::Initialize(Options(4)));
    VEXLogger::Log(VEXString("F"), VEXString("S"), 1, eVEXLogInfo, "now");
    VEXLogger::Terminate();
    const std::vector<std::string> internal = Lines(ReadFile(InternalPath()));
    ASSERT_EQ(2u, internal.size());
    EXPECT_EQ("earlier run", internal[0]);
    EXPECT_EQ(1u, Lines(ReadFile(UserPath())).size());
}

TEST_F(VEXLoggerTest, NoUserLogMeansNothingIsLogged)
{
    ASSERT_TRUE(VEXLogger::Initialize(Options(0)));
    VEXLogger::Log(VEXString("F"), VEXString("S"), 1, eVEXLogFatal, "lost");
    VEXLogger::Terminate();
    EXPECT_EQ("", ReadFile(InternalPath()));
    EXPECT_FALSE(VEXFile(VEXString(UserPath())).Exists());
}

TEST_F(VEXLoggerTest, UnopenableFileReportsAndSilencesTheLogger)
{
    struct Case {
        bool internalBad;
        bool userBad;
    };
    for (const Case c : {Case{true, false}, Case{false, true}}) {
        SCOPED_TRACE(c.internalBad ? "internal" : "user");
        VEXLogger::ResetForTesting();
        std::remove(UserPath().c_str());
        std::remove(InternalPath().c_str());
        const size_t before = Stderr().size();
        const std::string bad = m_Dir + "/missing/dir.log";
        VEXLoggingOptions options = Options(4);
        if (c.internalBad) {
            options.SetInternalLogFile(VEXFile(VEXString(bad)));
        } else {
            options.SetUserLogFile(VEXFile(VEXString(bad)));
        }
        EXPECT_FALSE(VEXLogger::Initialize(options));
        VEXLogger::Log(VEXString("F"), VEXString("S"), 1, eVEXLogInfo, "dropped");
        VEXLogger::Terminate();
        EXPECT_EQ("Error in Initialize opening user log file: " + bad + "\n",
                  Stderr().substr(before));
        EXPECT_EQ("", ReadFile(c.internalBad ? UserPath() : InternalPath()));
    }
}

TEST_F(VEXLoggerTest, NothingAfterTerminateAndReopenOnInitialize)
{
    ASSERT_TRUE(VEXLogger::Initialize(Options(4)));
    VEXLogger::Log(VEXString("F"), VEXString("S"), 1, eVEXLogInfo, "first");
    EXPECT_TRUE(VEXLogger::Terminate());
    VEXLogger::Log(VEXString("F"), VEXString("S"), 2, eVEXLogInfo, "while closed");
    EXPECT_TRUE(VEXLogger::Terminate());
    ASSERT_TRUE(VEXLogger::Initialize(Options(4)));
    VEXLogger::Log(VEXString("F"), VEXString("S"), 3, eVEXLogInfo, "second");
    VEXLogger::Terminate();
    const std::string internal = ReadFile(InternalPath());
    EXPECT_EQ(2u, Lines(internal).size());
    EXPECT_EQ(std::string::npos, internal.find("while closed"));
}

TEST_F(VEXLoggerTest, LinesOfTwoThreadsDoNotInterleave)
{
    ASSERT_TRUE(VEXLogger::Initialize(Options(4)));
    const int kLines = 400;
    const std::string longText(300, 'x');
    auto writer = [&](const char* who) {
        for (int i = 0; i < kLines; ++i) {
            VEXLogger::Log(VEXString(who), VEXString("S"), i, eVEXLogInfo, "%s %s %s %d", who,
                           longText.c_str(), who, i);
        }
    };
    std::thread a(writer, "alpha");
    std::thread b(writer, "beta");
    a.join();
    b.join();
    VEXLogger::Terminate();

    for (const std::string& path : {InternalPath(), UserPath()}) {
        SCOPED_TRACE(path);
        const std::vector<std::string> lines = Lines(ReadFile(path));
        ASSERT_EQ(2u * kLines, lines.size());
        int alpha = 0, beta = 0;
        for (const std::string& line : lines) {
            const bool isAlpha = line.find("alpha") != std::string::npos;
            const char* who = isAlpha ? "alpha" : "beta";
            const int i = isAlpha ? alpha++ : beta++;
            const std::string tail =
                std::string(who) + " " + longText + " " + who + " " + std::to_string(i);
            ASSERT_EQ(tail.size(), line.size() - line.rfind(tail)) << line;
            ASSERT_EQ(0u, line.find("VEXIPMILibrary INFO  : 3/7/2026 03:04PM " + Pad(who, 40)))
                << line;
        }
        EXPECT_EQ(kLines, alpha);
        EXPECT_EQ(kLines, beta);
    }
}

} // namespace
