#pragma once

#include <cstdint>
#include <string>

// Where the long steps report how far they are. The loops that wait on a
// switch or on the management controller take a sink; the default one says
// nothing, so automation and reports never see progress text. The program
// picks the terminal sink only when its standard error is a terminal.
class IProgressSink
{
public:
    virtual ~IProgressSink() = default;
    // One more chunk of an image reached the switch named by `target`.
    virtual void ChunkSent(const std::string& target, uint64_t chunk, uint64_t chunks,
                           uint64_t bytesSent, uint64_t totalBytes) = 0;
    // The management controller has not finished `step` yet; this is try
    // `attempt` (1-based) of at most `attempts`.
    virtual void Waiting(const std::string& step, unsigned attempt, unsigned attempts) = 0;
    // The step that was reported on is over (done or given up).
    virtual void Finished() = 0;
};

// Says nothing.
IProgressSink& NullProgress();

// Rewrites one status line on a terminal; a finished step keeps its last line.
class CTerminalProgress : public IProgressSink
{
public:
    explicit CTerminalProgress(int fd) : m_fd(fd) {}
    void ChunkSent(const std::string& target, uint64_t chunk, uint64_t chunks, uint64_t bytesSent,
                   uint64_t totalBytes) override;
    void Waiting(const std::string& step, unsigned attempt, unsigned attempts) override;
    void Finished() override;

private:
    void Show(const std::string& line);
    int m_fd;
    bool m_open = false;
};
