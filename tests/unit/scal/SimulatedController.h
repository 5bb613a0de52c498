// The simulated management controller (sim/ipmi/core) behind the access
// layer's IPMI library seam, in process: the unit tests and the simulator
// share one model of the controller. The adapter only moves bytes between the
// request record and the controller and keeps the log of what was sent.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Controller.h"
#include "ScalSeams.h"
#include "VEXIPMIUtil.h"

namespace scaltest
{

class SimulatedController : public IScalIPMILibrary
{
public:
    // `script` in the simulator's script language (sim/ipmi/README.md).
    explicit SimulatedController(const std::string& script)
    {
        char path[] = "/tmp/scal-sim-XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) {
            const ssize_t wrote = write(fd, script.data(), script.size());
            (void)wrote;
            close(fd);
        }
        scriptPath_ = path;
        controller_.reset(new simipmi::Controller(scriptPath_, ""));
    }
    ~SimulatedController() override { std::remove(scriptPath_.c_str()); }

    // What the IPMI library itself decides, not the controller: the result
    // of its start and the configuration it was started with.
    unsigned startResult = 0;
    _VEXIPMIConfiguration startConfiguration = {};
    bool started = false;
    unsigned stopCalls = 0;
    // Every request as sent, from the network function on.
    std::vector<std::vector<uint8_t>> requests;
    // Runs while each request is under way, before the controller answers
    // (for instance: a signal arrives).
    std::function<void(const std::vector<uint8_t>&)> duringRequest;

    unsigned Start(_VEXIPMIConfiguration* configuration) override
    {
        started = true; // the front exists even when its initialisation failed
        if (configuration != nullptr) {
            startConfiguration = *configuration;
        }
        return startResult;
    }

    unsigned Request(_VEXIPMICommandData* record) override
    {
        const unsigned length = IPMIRequestLength(*record);
        const uint8_t* request = IPMIRequestBytes(*record);
        requests.emplace_back(request, request + length);
        if (duringRequest) {
            duringRequest(requests.back());
        }
        // The library front clears the response before every exchange.
        uint8_t* response = IPMIResponseBytes(*record);
        std::fill(response, response + 255, 0);
        if (length < 2) {
            return 257;
        }
        const std::vector<uint8_t> data(request + 2, request + length);
        const simipmi::Reply reply = controller_->handle(request[0], 0, request[1], data);
        if (controller_->lastDelivery().sendErrno != 0) {
            // As the driver layer leaves a send that failed: "not sent" where
            // the completion code goes, and the prepared lengths untouched.
            response[2] = 0x01;
            return 320;
        }
        if (reply.silent) {
            return 320;
        }
        response[0] = static_cast<uint8_t>(request[0] | 1);
        response[1] = request[1];
        response[2] = reply.cc;
        const std::size_t count = std::min<std::size_t>(reply.data.size(), 255 - 3);
        std::copy(reply.data.begin(), reply.data.begin() + count, response + 3);
        SetIPMILengths(*record, length, static_cast<unsigned>(3 + count));
        return 0;
    }

    void Stop() override
    {
        ++stopCalls;
        started = false;
    }
    bool IsStarted() const override { return started; }

    // Opens a repository session on the controller directly, as an earlier
    // run of the access layer would have; not part of `requests`.
    void OpenSessionBeforehand()
    {
        controller_->handle(0x30, 0, 0xA2, {0x12, 0x02, 0xB0, 0x04, 0x00, 0x00});
    }

    // "AD", "BD", "A2/12": the requests in order, by command and sub-command.
    std::vector<std::string> Sequence() const
    {
        std::vector<std::string> out;
        for (const std::vector<uint8_t>& r : requests) {
            char text[8];
            if (r.size() > 2 && r[1] == 0xA2) {
                std::snprintf(text, sizeof(text), "%02X/%02X", r[1], r[2]);
            } else {
                std::snprintf(text, sizeof(text), "%02X", r.size() > 1 ? r[1] : 0);
            }
            out.push_back(text);
        }
        return out;
    }

    // The requests of one repository sub-command (or of one command).
    std::vector<std::vector<uint8_t>> RequestsOf(uint8_t command, int subCommand = -1) const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const std::vector<uint8_t>& r : requests) {
            if (r.size() > 1 && r[1] == command &&
                (subCommand < 0 || (r.size() > 2 && r[2] == subCommand))) {
                out.push_back(r);
            }
        }
        return out;
    }

    // One line of the controller's state ("flag", "session", "dynamic.2"...).
    std::string State(const std::string& key) const
    {
        std::istringstream lines(controller_->stateText());
        std::string line;
        while (std::getline(lines, line)) {
            if (line.compare(0, key.size() + 1, key + "=") == 0) {
                return line.substr(key.size() + 1);
            }
        }
        return "";
    }

    // Script rules answering the requests `selector` matches ("30 ad") with
    // these completion codes in turn, the last one from then on.
    static std::string AnswersInTurn(const std::string& selector, const std::vector<uint8_t>& codes)
    {
        std::string rules;
        for (std::size_t i = 0; i < codes.size(); ++i) {
            char rule[96];
            const bool last = i + 1 == codes.size();
            std::snprintf(rule, sizeof(rule), "on %s skip %zu%s : cc %02x\n", selector.c_str(), i,
                          last ? "" : " times 1", codes[i]);
            rules += rule;
        }
        return rules;
    }

private:
    std::string scriptPath_;
    std::unique_ptr<simipmi::Controller> controller_;
};

} // namespace scaltest
