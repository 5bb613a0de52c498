#include "VEXProgress.h"

#include <unistd.h>

#include <cerrno>

#include "VEXIO.h"

namespace
{

class CNullProgress : public IProgressSink
{
public:
    void ChunkSent(const std::string&, uint64_t, uint64_t, uint64_t, uint64_t) override {}
    void Waiting(const std::string&, unsigned, unsigned) override {}
    void Finished() override {}
};

// Progress is a courtesy: a terminal that went away must not stop an update.
void WriteAll(int fd, const std::string& text)
{
    VEXWriteAll(fd, text.data(), text.size());
}

} // namespace

IProgressSink& NullProgress()
{
    static CNullProgress sink;
    return sink;
}

void CTerminalProgress::ChunkSent(const std::string& target, uint64_t chunk, uint64_t chunks,
                                  uint64_t bytesSent, uint64_t totalBytes)
{
    Show("lumoswitch: " + target + ": chunk " + std::to_string(chunk) + " of " +
         std::to_string(chunks) + ", " + std::to_string(bytesSent) + " of " +
         std::to_string(totalBytes) + " bytes sent");
}

void CTerminalProgress::Waiting(const std::string& step, unsigned attempt, unsigned attempts)
{
    Show("lumoswitch: controller: " + step + ", attempt " + std::to_string(attempt) + " of " +
         std::to_string(attempts));
}

void CTerminalProgress::Finished()
{
    if (m_open) {
        WriteAll(m_fd, "\n");
        m_open = false;
    }
}

void CTerminalProgress::Show(const std::string& line)
{
    // Back to the start of the line and clear what the previous state left.
    WriteAll(m_fd, "\r" + line + "\033[K");
    m_open = true;
}
