// lumorecord-summary names every controller request from the program's
// command list, so a request added there reads by name in the summary too.

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "OEMCommands.h"
#include "Transcript.h"

namespace
{

struct Request {
    uint8_t netFn;
    uint8_t command;
    std::vector<uint8_t> data;
    std::string name; // as the summary must print it
};

std::vector<Request> EveryListedRequestAndOneUnknown()
{
    std::vector<Request> out;
#define LUMO_TEST_SUB(name, code, text, kind)                                                      \
    out.push_back({kOEMNetFn, eCorvelCommand, {code}, text});
    LUMO_CORVEL_SUBCOMMANDS(LUMO_TEST_SUB)
#undef LUMO_TEST_SUB
#define LUMO_TEST_CMD(fn, cmd, text) out.push_back({fn, cmd, {}, text});
    LUMO_IPMI_COMMANDS(LUMO_TEST_CMD)
#undef LUMO_TEST_CMD
    out.push_back({kOEMNetFn, eCorvelCommand, {0x21}, "repository sub-command 21"});
    out.push_back({kOEMNetFn, 0x99, {}, "-"});
    return out;
}

std::string Output(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    pclose(p);
    return out;
}

TEST(Summary, NamesEveryRequestOfTheCommandList)
{
    const std::vector<Request> requests = EveryListedRequestAndOneUnknown();
    uint32_t chain = lumorecord::kChainStart;
    lumorecord::Line header;
    header.add("format", lumorecord::kFormatName).add("version", 1).add("run", "0011223344556677");
    std::string text = header.seal(chain, &chain);
    int64_t msgid = 0;
    for (const Request& r : requests) {
        lumorecord::Line l;
        l.add("b", "ipmi").add("ev", "send").add("t_us", msgid).add("msgid", msgid);
        l.add("addr", "0c").add("netfn", r.netFn).add("cmd", r.command);
        l.add("data", lumorecord::Hex(r.data)).add("rc", 0).add("errno", 0);
        text += l.seal(chain, &chain);
        ++msgid;
    }
    char path[] = "/tmp/summary_test_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << text;

    const std::string out = Output(std::string(LUMORECORD_SUMMARY) + " " + path);
    std::remove(path);
    for (const Request& r : requests) {
        char head[16];
        std::snprintf(head, sizeof head, " %02x %02x ", r.netFn, r.command);
        EXPECT_NE(std::string::npos, out.find(head + r.name + " [")) << r.name << "\n" << out;
    }
}

} // namespace
