// Termination signals are noted, never obeyed on the spot; what was ignored
// at start stays ignored; a teardown does not see the note.
#include "Interruption.h"

#include <gtest/gtest.h>

#include <csignal>

namespace
{

class InterruptionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (int s : {SIGTERM, SIGHUP, SIGINT}) {
            sigaction(s, nullptr, &m_saved[Index(s)]);
        }
        interruption::ResetForTesting();
    }
    void TearDown() override
    {
        for (int s : {SIGTERM, SIGHUP, SIGINT}) {
            sigaction(s, &m_saved[Index(s)], nullptr);
        }
        interruption::ResetForTesting();
    }
    static int Index(int s) { return s == SIGTERM ? 0 : s == SIGHUP ? 1 : 2; }

private:
    struct sigaction m_saved[3] = {};
};

TEST_F(InterruptionTest, SignalsAreNotedAndTheFirstOneKept)
{
    ASSERT_TRUE(interruption::InstallDeferredHandlers());
    EXPECT_EQ(0, interruption::PendingSignal());
    EXPECT_FALSE(interruption::StopRequested());
    raise(SIGTERM); // the test process lives on
    EXPECT_EQ(SIGTERM, interruption::PendingSignal());
    raise(SIGHUP);
    raise(SIGINT);
    EXPECT_EQ(SIGTERM, interruption::PendingSignal());
    EXPECT_TRUE(interruption::StopRequested());

    struct sigaction action = {};
    sigaction(SIGTERM, nullptr, &action);
    EXPECT_NE(0, action.sa_flags & SA_RESTART) << "interrupted system calls resume";
}

TEST_F(InterruptionTest, SignalIgnoredAtStartStaysIgnored)
{
    signal(SIGHUP, SIG_IGN);
    ASSERT_TRUE(interruption::InstallDeferredHandlers());
    struct sigaction action = {};
    sigaction(SIGHUP, nullptr, &action);
    EXPECT_EQ(SIG_IGN, action.sa_handler);
    raise(SIGHUP);
    EXPECT_EQ(0, interruption::PendingSignal());
}

TEST_F(InterruptionTest, ShieldHidesTheNoteAndPausesEndEarlyOnlyWithoutOne)
{
    interruption::NoteSignal(SIGTERM);
    EXPECT_FALSE(interruption::SleepUnlessStopped(3600)) << "a requested stop ends the pause";
    {
        interruption::Shield teardown;
        EXPECT_FALSE(interruption::StopRequested());
        EXPECT_TRUE(interruption::SleepUnlessStopped(0));
        {
            interruption::Shield nested;
            EXPECT_FALSE(interruption::StopRequested());
        }
        EXPECT_FALSE(interruption::StopRequested());
    }
    EXPECT_TRUE(interruption::StopRequested());
    EXPECT_EQ(SIGTERM, interruption::PendingSignal());
}

} // namespace
