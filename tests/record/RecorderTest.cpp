// The recording storage library in this process, in front of the simulated
// one (or a small library that writes into the command record): what reaches
// the real library and comes back is untouched, and each command becomes one
// transcript line.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Transcript.h"

namespace
{

using EntryFn = uint32_t (*)(void*);

class RecorderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lumorecord-recorder.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        std::ofstream(m_dir + "/topology.conf")
            << "controller id=0x05000000\ndevice id=8 type=0x0d serial=\"SW1\"\n";
        setenv("STORELIB_SIM_TOPOLOGY", (m_dir + "/topology.conf").c_str(), 1);
        setenv("STORELIB_SIM_OUTDIR", m_dir.c_str(), 1);
        setenv("LUMOSWITCH_RECORD", (m_dir + "/run.jsonl").c_str(), 1);
        setenv("LUMOSWITCH_RECORD_LIBRARY", STORELIB_SIM_PATH, 1);
        unsetenv("LUMOSWITCH_RECORD_RUN");
    }
    void TearDown() override
    {
        close();
        for (const char* v :
             {"STORELIB_SIM_TOPOLOGY", "STORELIB_SIM_OUTDIR", "LUMOSWITCH_RECORD",
              "LUMOSWITCH_RECORD_LIBRARY", "LUMOSWITCH_RECORD_RUN", "STORELIB_SIM_REPLAY"})
            unsetenv(v);
        std::filesystem::remove_all(m_dir);
    }
    EntryFn open()
    {
        m_handle = dlopen(RECORDER_PATH, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(m_handle, nullptr) << dlerror();
        return m_handle ? reinterpret_cast<EntryFn>(dlsym(m_handle, "ProcessLibCommandIT"))
                        : nullptr;
    }
    void close()
    {
        if (m_handle != nullptr)
            dlclose(m_handle);
        m_handle = nullptr;
    }
    std::vector<lumorecord::Entry> entries()
    {
        lumorecord::Transcript t;
        std::string error;
        EXPECT_TRUE(lumorecord::LoadTranscript(m_dir + "/run.jsonl", t, error)) << error;
        return t.entries;
    }
    static std::vector<uint8_t> Record(uint8_t type, uint8_t cmd, uint8_t flags, void* data,
                                       uint32_t size)
    {
        std::vector<uint8_t> r(40, 0);
        r[0] = type;
        r[1] = cmd;
        r[2] = flags;
        for (int i = 0; i < 4; ++i)
            r[28 + i] = static_cast<uint8_t>(size >> (8 * i));
        const uint64_t p = reinterpret_cast<uintptr_t>(data);
        for (int i = 0; i < 8; ++i)
            r[32 + i] = static_cast<uint8_t>(p >> (8 * i));
        return r;
    }

    std::string m_dir;
    void* m_handle = nullptr;
};

TEST_F(RecorderTest, ForwardsEachCommandAndRecordsBothSidesOfTheBuffer)
{
    EntryFn entry = open();
    ASSERT_NE(entry, nullptr);
    std::vector<uint8_t> list(260, 0);
    std::vector<uint8_t> init = Record(0, 0, 1, list.data(), 260);
    EXPECT_EQ(entry(init.data()), 0u);
    EXPECT_EQ(list[0], 1u); // one controller, as the simulator answered
    EXPECT_EQ(list[7], 0x05u);

    // A command the recorder has no layout for: forwarded, recorded raw.
    std::vector<uint8_t> scratch(16, 0xAA);
    std::vector<uint8_t> unknown = Record(1, 3, 0, scratch.data(), 4096);
    const uint32_t rc = entry(unknown.data());
    EXPECT_NE(rc, 0u);
    close();

    const std::vector<lumorecord::Entry> e = entries();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].str("ev"), "load");
    EXPECT_EQ(e[0].str("status"), "ok");
    EXPECT_EQ(e[0].str("library"), std::filesystem::path(STORELIB_SIM_PATH).filename().string());
    EXPECT_EQ(e[1].str("op"), "INIT_LIB");
    EXPECT_EQ(e[1].str("ctrls"), "05000000");
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    ASSERT_TRUE(e[1].bytes("in", in));
    ASSERT_TRUE(e[1].bytes("out", out));
    EXPECT_EQ(in, std::vector<uint8_t>(260, 0));
    EXPECT_EQ(out, list);
    EXPECT_EQ(e[1].num("rc"), 0);
    EXPECT_EQ(e[2].str("op"), "UNKNOWN");
    EXPECT_EQ(e[2].str("layout"), "raw");
    EXPECT_FALSE(e[2].has("in"));
    EXPECT_EQ(e[2].num("rc"), static_cast<int64_t>(rc));
    // The data pointer is an address of this process: never recorded.
    EXPECT_EQ(e[1].str("rec").size(), 64u);
}

TEST_F(RecorderTest, WithoutTheRealLibraryEveryCommandIsLibraryUnavailable)
{
    setenv("LUMOSWITCH_RECORD_LIBRARY", (m_dir + "/missing.so").c_str(), 1);
    EntryFn entry = open();
    ASSERT_NE(entry, nullptr);
    std::vector<uint8_t> list(260, 0);
    std::vector<uint8_t> init = Record(0, 0, 1, list.data(), 260);
    EXPECT_EQ(entry(init.data()), 0x8002u);
    EXPECT_EQ(list, std::vector<uint8_t>(260, 0));
    close();
    const std::vector<lumorecord::Entry> e = entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].str("status"), "absent");
    EXPECT_EQ(e[0].str("library"), "missing.so");
    EXPECT_EQ(e[1].num("rc"), 0x8002);
    EXPECT_TRUE(e[1].has("out_same"));
}

// A library that writes into the command record: the transcript carries the
// record as the library left it, and a replay hands that record back.
TEST_F(RecorderTest, RecordTheLibraryChangedIsRecordedAndReplayed)
{
    setenv("LUMOSWITCH_RECORD_LIBRARY", RECORD_CHANGING_LIBRARY_PATH, 1);
    EntryFn entry = open();
    ASSERT_NE(entry, nullptr);
    std::vector<uint8_t> list(260, 0);
    std::vector<uint8_t> init = Record(0, 0, 1, list.data(), 260);
    const std::vector<uint8_t> sent(init.begin(), init.begin() + 32);
    ASSERT_EQ(entry(init.data()), 0u);
    const std::vector<uint8_t> changed(init.begin(), init.begin() + 32);
    ASSERT_NE(changed, sent) << "the library left the record as it was";
    close();

    const std::vector<lumorecord::Entry> e = entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].str("status"), "ok");
    std::vector<uint8_t> rec;
    std::vector<uint8_t> recOut;
    ASSERT_TRUE(e[1].bytes("rec", rec));
    EXPECT_EQ(rec, sent);
    ASSERT_TRUE(e[1].bytes("rec_out", recOut)) << "the changed record is not in the transcript";
    EXPECT_EQ(recOut, changed);

    setenv("STORELIB_SIM_REPLAY", (m_dir + "/run.jsonl").c_str(), 1);
    void* sim = dlopen(STORELIB_SIM_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(sim, nullptr) << dlerror();
    EntryFn replay = reinterpret_cast<EntryFn>(dlsym(sim, "ProcessLibCommandIT"));
    ASSERT_NE(replay, nullptr);
    std::vector<uint8_t> replayedList(260, 0);
    std::vector<uint8_t> again = Record(0, 0, 1, replayedList.data(), 260);
    EXPECT_EQ(replay(again.data()), 0u);
    EXPECT_EQ(std::vector<uint8_t>(again.begin(), again.begin() + 32), changed)
        << "the replay did not give the changed record back";
    EXPECT_EQ(replayedList, list);
    dlclose(sim);
}

} // namespace
