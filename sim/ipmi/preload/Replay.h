// Replay of a recorded run at the IPMI device: opens, requests and replies
// come from a transcript, in order, strictly. A request that is not the
// recorded one (other message ID, address, NetFn, command or data) fails and
// is reported with both versions; from then on every open and request fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Transcript.h"

namespace simipmi
{

struct ReplayReply {
    long msgid = 0;
    uint8_t netfn = 0;
    uint8_t cmd = 0;
    uint8_t lun = 0;
    std::vector<uint8_t> data; // completion code, then the reply data
    // Waits on the device the program saw time out before this reply came.
    unsigned timeoutsBefore = 0;
};

class Replay
{
public:
    explicit Replay(const std::string& transcriptPath);

    // 0 when the recorded open succeeded, else the errno to fail with.
    int open(const std::string& path);
    // 0 and the replies to queue, or the errno the send fails with.
    int send(long msgid, const std::vector<uint8_t>& addr, uint8_t netfn, uint8_t cmd,
             const std::vector<uint8_t>& data, std::vector<ReplayReply>& replies);
    void close();

    // Lines for the request log since the last call (divergences included),
    // and the first divergence message not yet shown on standard error.
    std::string takeLog();
    std::string takeReport();
    std::string stateText() const;

private:
    const lumorecord::Entry* expect(const char* event, const std::string& program);
    void diverge(size_t line, const std::string& why);

    std::vector<lumorecord::Entry> m_entries; // opens, sends, replies, closes
    std::vector<unsigned> m_timeoutsBefore;   // per entry: timed-out waits just before it
    size_t m_next = 0;
    bool m_stopped = false;
    std::string m_stopWhy;
    std::string m_log;
    std::string m_report;
    bool m_reported = false;
    unsigned m_requests = 0;
};

} // namespace simipmi
