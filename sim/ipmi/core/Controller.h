// Simulated management controller: answers IPMI requests from a script and
// keeps the state of the OEM repository requests (session, partitions, state
// flag). Every front (the LD_PRELOAD device, an external-BMC bridge) hands
// requests to handle() and delivers the Reply; the controller itself never
// touches descriptors or clocks, so all fronts log and behave identically.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace simipmi
{

struct Reply {
    bool silent = false;       // never answer
    bool held = false;         // never answer, and keep the sender in its send
    unsigned delayMs = 0;      // answer only after this long
    uint8_t cc = 0;            // completion code
    std::vector<uint8_t> data; // reply data after the completion code
};

// Directives a script attaches to a request that are not part of the reply
// itself but of how the device delivers it.
struct Delivery {
    int sendErrno = 0;       // non-zero: the send fails with this errno, nothing is queued
    unsigned staleFirst = 0; // queue this many replies with a foreign message ID first
};

class Controller
{
public:
    // scriptPath may be empty (no script: built-in behaviour only).
    // logPath may be empty (no request log). The state file is set apart.
    Controller(const std::string& scriptPath, const std::string& logPath);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // One request; logs it and returns the reply the device should deliver.
    Reply handle(uint8_t netfn, uint8_t lun, uint8_t cmd, const std::vector<uint8_t>& data);

    // Delivery directives of the request last passed to handle().
    Delivery lastDelivery() const;

    // Write the state file after each request (empty: none).
    void setStatePath(const std::string& statePath);
    // Takes up the state a state file holds (session, flag, partitions,
    // counters), as a controller that outlived the process that wrote it;
    // false when there is none to take up. Pending work and the rules'
    // counts are not kept.
    bool resumeFrom(const std::string& statePath);
    void writeState() const;
    std::string stateText() const;

    // Script-level settings the device front needs.
    // Device paths that exist; empty list when the script does not say (all exist).
    const std::vector<std::string>& devicePaths() const;
    bool devicePathsScripted() const;
    // Parse problems of the script (empty when it loaded cleanly).
    const std::string& scriptError() const;

    // The device front reports each open of a device path, so the state file
    // shows how the program searched for the device.
    void noteOpen(const std::string& path, bool ok);

    // Request counter, for tests.
    unsigned requestCount() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace simipmi
