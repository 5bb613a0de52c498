#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>

#include "VEXIPMISys.h"

namespace
{

// The readiness wait must work for any descriptor number: a process with
// many files open gets the device above 1023, where select cannot look.
TEST(RealSys, WaitReadableOnAHighDescriptor)
{
    struct rlimit limit = {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= 2000) {
        GTEST_SKIP() << "descriptor limit too low for the check";
    }
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const int high = dup2(pipeFds[0], 2000);
    ASSERT_EQ(high, 2000);

    RealVEXIPMISys sys;
    EXPECT_EQ(sys.WaitReadable(high, 0, 1000), 0);
    ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
    EXPECT_EQ(sys.WaitReadable(high, 20, 60), 1);

    EXPECT_EQ(sys.Close(high), 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

} // namespace
