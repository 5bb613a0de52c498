// Replay of a recorded run: the simulated library answers the commands of a
// transcript in order, strictly. A command that is not byte for byte the
// recorded one is answered with a failure and reported with both versions;
// from then on every command fails, so a changed program cannot pass a
// transcript of another.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Transcript.h"

namespace storelibsim
{

constexpr uint32_t kErrReplay = 0xE7;

class Replay
{
public:
    // outDir: where the received images and the replay state go.
    Replay(const std::string& transcriptPath, const std::string& outDir);

    // Answers one command. trace: the trace line; report: non-empty when the
    // command diverged (or the transcript is unusable) and it is the first
    // such, for the standard error stream.
    uint32_t handle(uint8_t* rec, std::string& trace, std::string& report);

    bool stopped() const { return m_stopped; }
    std::string stateText() const;

private:
    uint32_t stop(size_t line, const std::string& why, std::string& trace, std::string& report);
    void keepImage(uint32_t ctrl, const std::vector<uint8_t>& buffer);
    void writeState() const;

    std::string m_outDir;
    std::vector<lumorecord::Entry> m_calls;
    size_t m_next = 0;
    bool m_stopped = false;
    bool m_reported = false;
    size_t m_stopLine = 0;
    std::string m_stopWhy;
};

} // namespace storelibsim
