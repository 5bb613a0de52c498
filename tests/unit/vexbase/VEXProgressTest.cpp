#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "VEXProgress.h"

namespace
{

// Everything the sink wrote into a pipe.
class PipeCapture
{
public:
    PipeCapture()
    {
        if (pipe(fds_) != 0) {
            ADD_FAILURE() << "pipe";
        }
    }
    ~PipeCapture()
    {
        close(fds_[0]);
        if (fds_[1] >= 0) {
            close(fds_[1]);
        }
    }
    int writeEnd() const { return fds_[1]; }
    std::string take()
    {
        close(fds_[1]);
        fds_[1] = -1;
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds_[0], buffer, sizeof(buffer))) > 0) {
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }

private:
    int fds_[2] = {-1, -1};
};

TEST(TerminalProgress, RewritesOneLineAndEndsItOnceWhenTheStepIsOver)
{
    PipeCapture out;
    {
        CTerminalProgress sink(out.writeEnd());
        sink.Finished(); // nothing shown yet: no empty line
        sink.ChunkSent("switch 8 on controller 0x05000000", 1, 2, 32768, 40000);
        sink.ChunkSent("switch 8 on controller 0x05000000", 2, 2, 40000, 40000);
        sink.Finished();
        sink.Finished();
        sink.Waiting("session open", 7, 36);
        sink.Finished();
    }
    EXPECT_EQ("\rlumoswitch: switch 8 on controller 0x05000000: chunk 1 of 2, 32768 of 40000 bytes "
              "sent\033[K"
              "\rlumoswitch: switch 8 on controller 0x05000000: chunk 2 of 2, 40000 of 40000 bytes "
              "sent\033[K\n"
              "\rlumoswitch: controller: session open, attempt 7 of 36\033[K\n",
              out.take());
}

} // namespace
