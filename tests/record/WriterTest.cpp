// The transcript file: created for this user only, shared by the two
// recorders of one run, refused when it is anything but a fresh file or the
// transcript of this very run.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Transcript.h"
#include "Writer.h"

namespace
{

using lumorecord::Line;
using lumorecord::Writer;

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class WriterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lumorecord-writer.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_path = m_dir + "/run.jsonl";
        setenv("LUMOSWITCH_RECORD", m_path.c_str(), 1);
        unsetenv("LUMOSWITCH_RECORD_RUN");
        Writer::Release();
    }
    void TearDown() override
    {
        Writer::Release();
        unsetenv("LUMOSWITCH_RECORD");
        unsetenv("LUMOSWITCH_RECORD_RUN");
        std::filesystem::remove_all(m_dir);
    }
    bool Append(const std::string& what)
    {
        Writer* w = Writer::Get();
        if (w == nullptr)
            return false;
        Line l;
        l.add("b", "ipmi").add("ev", what);
        return w->append(l);
    }

    std::string m_dir;
    std::string m_path;
};

TEST_F(WriterTest, TwoWritersOfOneRunShareOneChainedFile)
{
    ASSERT_TRUE(Append("open"));
    struct stat st;
    ASSERT_EQ(stat(m_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The other recorder of the same run (another copy of the writer in the
    // process) opens the file anew and goes on with the chain.
    Writer::Release();
    ASSERT_NE(std::getenv("LUMOSWITCH_RECORD_RUN"), nullptr);
    ASSERT_TRUE(Append("send"));
    ASSERT_TRUE(Append("recv"));

    lumorecord::Transcript t;
    std::string error;
    ASSERT_TRUE(lumorecord::LoadTranscript(m_path, t, error)) << error;
    ASSERT_EQ(t.entries.size(), 3u);
    EXPECT_EQ(t.entries[0].str("ev"), "open");
    EXPECT_EQ(t.entries[2].str("ev"), "recv");
    EXPECT_TRUE(t.entries[2].has("t_us"));
    EXPECT_EQ(std::string(std::getenv("LUMOSWITCH_RECORD_RUN")).rfind(t.run + ":", 0), 0u);
}

TEST_F(WriterTest, AnotherRunsTranscriptIsLeftAlone)
{
    ASSERT_TRUE(Append("open"));
    const std::string before = Read(m_path);
    Writer::Release();
    unsetenv("LUMOSWITCH_RECORD_RUN"); // a new run, same file name
    EXPECT_FALSE(Append("open"));
    EXPECT_NE(std::string(Writer::Reason()).find("another run"), std::string::npos);
    EXPECT_EQ(Read(m_path), before);
}

TEST_F(WriterTest, NoFileNoRecording)
{
    unsetenv("LUMOSWITCH_RECORD");
    EXPECT_FALSE(Append("open"));
    EXPECT_STREQ(Writer::Reason(), "LUMOSWITCH_RECORD is not set");
}

// What another user can plant where the transcript is to go: a link to a
// file root cares about, a file of their own, a FIFO that would block the
// run. The writer refuses each and touches nothing.
TEST_F(WriterTest, PlantedPathsAreRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(chmod(m_dir.c_str(), 01777), 0);
    const std::string victim = m_dir + "/victim";
    std::ofstream(victim) << "root's file\n";
    const std::string asNobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
    struct Plant {
        const char* name;
        std::string command;
    };
    const Plant plants[] = {
        {"link", "ln -s " + victim + " " + m_path},
        {"own file", "sh -c 'umask 077; : > " + m_path + "'"},
        {"fifo", "mkfifo -m 0600 " + m_path},
    };
    for (const Plant& p : plants) {
        SCOPED_TRACE(p.name);
        std::filesystem::remove(m_path);
        Writer::Release();
        ASSERT_EQ(std::system((asNobody + p.command).c_str()), 0);
        EXPECT_FALSE(Append("open"));
        EXPECT_EQ(Read(victim), "root's file\n");
    }
    // A file of this user that others may write, or a second name of one.
    for (mode_t mode : {0666, 0620}) {
        std::filesystem::remove(m_path);
        Writer::Release();
        std::ofstream(m_path).close();
        chmod(m_path.c_str(), mode);
        EXPECT_FALSE(Append("open")) << std::oct << mode;
    }
    std::filesystem::remove(m_path);
    Writer::Release();
    ASSERT_EQ(link(victim.c_str(), m_path.c_str()), 0);
    chmod(victim.c_str(), 0600);
    EXPECT_FALSE(Append("open"));
    EXPECT_EQ(Read(victim), "root's file\n");
}

} // namespace
