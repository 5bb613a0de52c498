#pragma once

#include <string>
#include <vector>

#include "VEXProgress.h"

// Keeps what a loop reported, one line per call, so tests see progress
// without a terminal.
class RecordingProgress : public IProgressSink
{
public:
    void ChunkSent(const std::string& target, uint64_t chunk, uint64_t chunks, uint64_t bytesSent,
                   uint64_t totalBytes) override
    {
        events.push_back("chunk " + target + " " + std::to_string(chunk) + "/" +
                         std::to_string(chunks) + " " + std::to_string(bytesSent) + "/" +
                         std::to_string(totalBytes));
    }
    void Waiting(const std::string& step, unsigned attempt, unsigned attempts) override
    {
        events.push_back("wait " + step + " " + std::to_string(attempt) + "/" +
                         std::to_string(attempts));
    }
    void Finished() override { events.push_back("done"); }

    std::vector<std::string> events;
};
