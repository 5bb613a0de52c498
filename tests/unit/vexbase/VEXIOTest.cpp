#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "VEXIO.h"

namespace
{

// What one call of the scripted system call does: moves up to `bytes` bytes
// (0 for none), or fails with `error` when `bytes` is negative.
struct Step {
    ssize_t bytes;
    int error;
};

// The script the fake calls below follow, and what they saw. Plain function
// pointers stand in for the system calls, so the state is the test's own.
struct Script {
    std::vector<Step> steps;
    size_t next = 0;
    std::string moved;          // bytes written, in order
    std::vector<off_t> offsets; // where each pread asked to start
    std::string source;         // what pread reads from
};
Script g_script;

// Starts a fresh script of `steps`.
void Follow(const std::vector<Step>& steps)
{
    g_script = Script();
    g_script.steps = steps;
}

ssize_t Take(size_t size)
{
    if (g_script.next >= g_script.steps.size()) {
        ADD_FAILURE() << "called once more than the script says";
        errno = EIO;
        return -1;
    }
    const Step step = g_script.steps[g_script.next++];
    if (step.bytes < 0) {
        errno = step.error;
        return -1;
    }
    return static_cast<ssize_t>(std::min(static_cast<size_t>(step.bytes), size));
}

ssize_t FakeWrite(int, const void* data, size_t size)
{
    const ssize_t n = Take(size);
    if (n > 0) {
        g_script.moved.append(static_cast<const char*>(data), static_cast<size_t>(n));
    }
    return n;
}

ssize_t FakeRead(int, void*, size_t size)
{
    return Take(size);
}

ssize_t FakePread(int, void* data, size_t size, off_t offset)
{
    g_script.offsets.push_back(offset);
    const ssize_t n = Take(size);
    if (n > 0) {
        std::memcpy(data, g_script.source.data() + offset, static_cast<size_t>(n));
    }
    return n;
}

const Step kInterrupted = {-1, EINTR};

struct TransferCase {
    const char* name;
    std::vector<Step> steps;
    size_t expectedCount; // of the 10 bytes asked for
    int expectedErrno;    // checked when the count is short
};

const TransferCase kTransferCases[] = {
    {"whole at once", {{10, 0}}, 10, 0},
    {"interrupted, then short counts", {kInterrupted, {3, 0}, kInterrupted, {4, 0}, {3, 0}}, 10, 0},
    {"fails after a short count", {{4, 0}, {-1, EIO}}, 4, EIO},
    {"takes nothing", {{6, 0}, {0, 0}}, 6, 0},
    {"fails at once", {{-1, EBADF}}, 0, EBADF},
};

} // namespace

TEST(VEXIOTest, WriteAllRetriesInterruptionsAndShortWritesAndStopsAtAFailure)
{
    const std::string text = "0123456789";
    for (const TransferCase& c : kTransferCases) {
        SCOPED_TRACE(c.name);
        Follow(c.steps);
        errno = 12345;
        EXPECT_EQ(c.expectedCount, VEXWriteAll(3, text.data(), text.size(), FakeWrite));
        EXPECT_EQ(text.substr(0, c.expectedCount), g_script.moved);
        EXPECT_EQ(c.steps.size(), g_script.next);
        if (c.expectedCount < text.size()) {
            EXPECT_EQ(c.expectedErrno, errno);
        }
    }
}

TEST(VEXIOTest, PreadAllContinuesAtTheOffsetReachedAndStopsAtTheEnd)
{
    for (const TransferCase& c : kTransferCases) {
        SCOPED_TRACE(c.name);
        Follow(c.steps);
        g_script.source = "xxxxx0123456789";
        char buffer[10] = {};
        errno = 12345;
        EXPECT_EQ(c.expectedCount, VEXPreadAll(3, buffer, sizeof(buffer), 5, FakePread));
        EXPECT_EQ(std::string("0123456789").substr(0, c.expectedCount),
                  std::string(buffer, c.expectedCount));
        // Each call starts where the bytes so far end.
        off_t expected = 5;
        for (size_t i = 0; i < g_script.offsets.size(); ++i) {
            EXPECT_EQ(expected, g_script.offsets[i]) << "call " << i;
            if (c.steps[i].bytes > 0) {
                expected += c.steps[i].bytes;
            }
        }
        if (c.expectedCount < sizeof(buffer)) {
            EXPECT_EQ(c.expectedErrno, errno);
        }
    }
}

TEST(VEXIOTest, ReadOnceRetriesOnlyInterruptions)
{
    struct Case {
        const char* name;
        std::vector<Step> steps;
        ssize_t expected;
    };
    const Case cases[] = {
        {"interrupted twice", {kInterrupted, kInterrupted, {7, 0}}, 7},
        {"short count is the answer", {{3, 0}}, 3},
        {"end of file", {{0, 0}}, 0},
        {"failure", {{-1, EIO}}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Follow(c.steps);
        char buffer[16];
        EXPECT_EQ(c.expected, VEXReadOnce(3, buffer, sizeof(buffer), FakeRead));
        EXPECT_EQ(c.steps.size(), g_script.next);
    }
}
