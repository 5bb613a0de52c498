// The simulated controller in-process: the staging sequence of one update run,
// what it refuses, pending sub-commands, access states and script rules.
#include "Controller.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using simipmi::Controller;
using simipmi::Reply;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kOem = 0x30;
constexpr uint8_t kRepo = 0xA2;
constexpr uint16_t kHandle = 0x1234;

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A scratch folder with the script, log and state file of one controller.
class Scratch
{
public:
    Scratch()
    {
        char tmpl[] = "/tmp/simipmi-ctl-XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    ~Scratch()
    {
        for (const char* f : {"/script", "/log", "/state"})
            std::remove((dir_ + f).c_str());
        rmdir(dir_.c_str());
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::unique_ptr<Controller> make(const std::string& script)
    {
        std::ofstream(scriptPath()) << script;
        auto c = std::make_unique<Controller>(scriptPath(), logPath());
        c->setStatePath(statePath());
        return c;
    }
    std::string scriptPath() const { return dir_ + "/script"; }
    std::string logPath() const { return dir_ + "/log"; }
    std::string statePath() const { return dir_ + "/state"; }
    std::string log() const { return readFile(logPath()); }
    std::string state() const { return readFile(statePath()); }

private:
    std::string dir_;
};

// Request data of a repository sub-command: sub-command, handle (low byte
// first), parameters.
Bytes sub(uint8_t code, uint16_t handle, Bytes params)
{
    params.insert(params.begin(),
                  {code, static_cast<uint8_t>(handle & 0xFF), static_cast<uint8_t>(handle >> 8)});
    return params;
}

Reply repo(Controller& c, Bytes data)
{
    return c.handle(kOem, 0, kRepo, data);
}

Reply beginExtended(Controller& c)
{
    return repo(c, {0x12, 0x02, 0xB0, 0x04, 0x00, 0x00});
}
Reply beginPlain(Controller& c)
{
    return repo(c, {0x00, 0x00, 0xB0, 0x04, 0x00, 0x00});
}
Reply indexInfo(Controller& c, uint16_t h = kHandle)
{
    return repo(c, sub(0x03, h, {0, 0}));
}
Reply partitionInfo(Controller& c, bool dynamic, uint8_t slot, uint16_t h = kHandle)
{
    return repo(c, sub(0x04, h, {static_cast<uint8_t>(dynamic ? 0x80 : 0x00), slot, 0, 0}));
}
Reply detachAll(Controller& c, uint16_t h = kHandle)
{
    return repo(c, sub(0x06, h, {0x00, 0xFF, 0, 0, 0x00, 0xFF, 0, 0}));
}
Reply deleteDynamic(Controller& c, uint8_t slot, uint16_t h = kHandle)
{
    return repo(c, sub(0x08, h, {0x00, static_cast<uint8_t>(1u << slot), 0, 0, 0, 0}));
}
Reply setFlag(Controller& c, uint8_t flag, uint16_t h = kHandle)
{
    return repo(c, sub(0x11, h, {0x00, flag}));
}
Reply status(Controller& c, uint8_t followed, uint16_t h = kHandle)
{
    return repo(c, sub(0x0A, h, {followed, 0, 0}));
}
Reply endSession(Controller& c, uint16_t h = kHandle)
{
    return repo(c, sub(0x01, h, {0, 0}));
}

std::string name(const Reply& r, size_t from)
{
    std::string s;
    for (size_t i = from; i < from + 6 && i < r.data.size() && r.data[i] != 0; ++i)
        s += static_cast<char>(r.data[i]);
    return s;
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::vector<std::string> ops(const std::string& log)
{
    std::vector<std::string> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        size_t at = line.find(" op=");
        if (at != std::string::npos)
            out.push_back(line.substr(at + 4, line.find(' ', at + 4) - at - 4));
    }
    return out;
}

const char kStagingScript[] = R"(
generation 30
partition static 0 COR001 attached
partition dynamic 2 SECUPD attached
)";

TEST(Controller, StagingRunOfOneUpdate)
{
    Scratch s;
    auto c = s.make(kStagingScript);

    Reply r = c->handle(kOem, 0, 0xAD, {0x00, 0x00});
    EXPECT_EQ(r.cc, 0x00);
    EXPECT_EQ(r.data.at(0), 0x00) << "repository present";
    r = c->handle(kOem, 0, 0xBD, {});
    EXPECT_EQ(r.data.at(5), 0x30) << "generation byte at response byte 8";
    c->handle(kOem, 0, 0xAD, {0x00, 0x00});
    r = c->handle(kOem, 0, 0xAE, {0x00, 0x00});
    EXPECT_EQ(r.data.at(0), 0x00) << "enabled";

    r = beginExtended(*c);
    ASSERT_EQ(r.cc, 0x00);
    EXPECT_EQ(r.data.at(0), 0x34);
    EXPECT_EQ(r.data.at(1), 0x12);

    r = indexInfo(*c);
    ASSERT_EQ(r.cc, 0x00);
    EXPECT_EQ(Bytes(r.data.begin() + 2, r.data.begin() + 4), (Bytes{0x00, 0x01}))
        << "static bitmap, high byte first";
    EXPECT_EQ(Bytes(r.data.begin() + 6, r.data.begin() + 8), (Bytes{0x00, 0x04}))
        << "dynamic bitmap, high byte first";
    r = partitionInfo(*c, false, 0);
    ASSERT_EQ(r.cc, 0x00);
    EXPECT_EQ(name(r, 4), "COR001") << "label at response bytes 7 to 12";

    EXPECT_EQ(detachAll(*c).cc, 0x00);
    indexInfo(*c);
    r = partitionInfo(*c, true, 2);
    EXPECT_EQ(name(r, 4), "SECUPD");
    EXPECT_EQ(deleteDynamic(*c, 2).cc, 0x00);
    EXPECT_EQ(setFlag(*c, 0x05).cc, 0x00);
    EXPECT_EQ(endSession(*c).cc, 0x00);

    const std::string state = s.state();
    EXPECT_TRUE(has(state, "session=closed\n")) << state;
    EXPECT_TRUE(has(state, "sessions_opened=1\nsessions_ended=1\n")) << state;
    EXPECT_TRUE(has(state, "session_kind=extended\nsession_timeout=1200\n")) << state;
    EXPECT_TRUE(has(state, "flag=0x05\nflag_handle=0x1234\nflag_in_session=yes\n"
                           "flag_request=30,a2,11,34,12,00,05\n"))
        << state;
    EXPECT_TRUE(has(state, "static.0=COR001 detached\n")) << state;
    EXPECT_TRUE(has(state, "dynamic.2=SECUPD deleted\n")) << state;
    EXPECT_TRUE(has(state, "refusals=0\n")) << state;

    EXPECT_EQ(ops(s.log()),
              (std::vector<std::string>{
                  "RepositoryType", "SystemGeneration", "RepositoryType", "AccessState",
                  "BeginCORVELSessionExtended", "Getpartitionindexinfo", "GetPartitionInfo",
                  "DetachPartitions", "Getpartitionindexinfo", "GetPartitionInfo",
                  "DeleteDynamicPartition", "setStateFlagCmd", "EndCORVELSession"}));
}

TEST(Controller, LogLineLayout)
{
    Scratch s;
    auto c = s.make("");
    beginExtended(*c);
    c->handle(kOem, 0, 0x99, {0x01});
    EXPECT_EQ(s.log(),
              "seq=1 netfn=30 lun=0 cmd=a2 op=BeginCORVELSessionExtended req=12,02,b0,04,00,00 "
              "cc=00 rsp=34,12,00,00,00,00\n"
              "seq=2 netfn=30 lun=0 cmd=99 op=- req=01 cc=c1 rsp=- refused=unsupported\n");
}

TEST(Controller, StateFileFollowsEveryRequest)
{
    Scratch s;
    auto c = s.make("");
    EXPECT_EQ(s.state(), c->stateText()) << "written as soon as its path is known";
    beginPlain(*c);
    EXPECT_EQ(s.state(), c->stateText());
    EXPECT_TRUE(has(s.state(), "session=open\nsession_handle=0x1234\nsession_kind=plain\n"));
}

struct RefusalCase {
    const char* what;
    const char* script;
    std::function<void(Controller&)> before;
    std::function<Reply(Controller&)> request;
    uint8_t cc;
    const char* reason;
    const char* stateAfter; // a line the refusal must leave as it was
};

TEST(Controller, RefusesWhatARealControllerRefuses)
{
    auto nothing = [](Controller&) {};
    auto open = [](Controller& c) { beginExtended(c); };
    const RefusalCase cases[] = {
        {"partition query without a session", "", nothing,
         [](Controller& c) { return indexInfo(c); }, 0xCC, "no-session", "session=closed"},
        {"wrong handle", "", open, [](Controller& c) { return indexInfo(c, kHandle + 1); }, 0xCC,
         "wrong-handle", "session=open"},
        {"no handle at all", "", open, [](Controller& c) { return setFlag(c, 5, 0); }, 0xCC,
         "wrong-handle", "flag=none"},
        {"handle of an ended session", "",
         [](Controller& c) {
             beginExtended(c);
             endSession(c);
             beginExtended(c); // the new session has another handle
         },
         [](Controller& c) { return detachAll(c, kHandle); }, 0xCC, "wrong-handle",
         "detach_requests=0"},
        {"second session", "", open, [](Controller& c) { return beginPlain(c); }, 0x01,
         "second-session", "sessions_opened=1"},
        {"state flag outside a session before 17G", "generation 52", nothing,
         [](Controller& c) { return setFlag(c, 5, 0); }, 0xCC, "no-session", "flag=none"},
        {"session while access is disabled", "access disabled", nothing,
         [](Controller& c) { return beginExtended(c); }, 0x05, "disabled", "sessions_opened=0"},
        {"delete of a partition still attached", "partition dynamic 0 SECUPD attached", open,
         [](Controller& c) { return deleteDynamic(c, 0); }, 0x08, "attached",
         "dynamic.0=SECUPD attached"},
        {"delete of an empty slot", "partition dynamic 0 SECUPD", open,
         [](Controller& c) { return deleteDynamic(c, 3); }, 0xC9, "bad-slot",
         "dynamic.0=SECUPD detached"},
        {"name of an empty slot", "", open, [](Controller& c) { return partitionInfo(c, true, 1); },
         0xC9, "bad-slot", "session=open"},
        {"request cut short", "", open,
         [](Controller& c) {
             return repo(c, {0x11, 0x34});
         },
         0xC7, "bad-length", "flag=none"},
        {"repository commands on a 17G system", "generation 60", nothing,
         [](Controller& c) { return beginExtended(c); }, 0xC1, "unsupported", "session=closed"},
        {"no repository", "repository none", nothing, [](Controller& c) { return beginPlain(c); },
         0xC1, "unsupported", "session=closed"},
        {"scripted refusal code", "code second-session 07", open,
         [](Controller& c) { return beginExtended(c); }, 0x07, "second-session",
         "sessions_opened=1"},
    };
    for (const RefusalCase& k : cases) {
        SCOPED_TRACE(k.what);
        Scratch s;
        auto c = s.make(k.script);
        k.before(*c);
        Reply r = k.request(*c);
        EXPECT_EQ(r.cc, k.cc);
        EXPECT_TRUE(r.data.empty());
        EXPECT_TRUE(has(s.log(), std::string(" refused=") + k.reason + "\n")) << s.log();
        EXPECT_TRUE(has(s.state(), std::string(k.stateAfter) + "\n")) << s.state();
        EXPECT_TRUE(has(s.state(), "refusals=1\n")) << s.state();
    }
}

TEST(Controller, SeventeenGAcceptsTheFlagWithoutASession)
{
    Scratch s;
    auto c = s.make("generation 61");
    Reply r = setFlag(*c, 0x05, 0);
    EXPECT_EQ(r.cc, 0x00);
    EXPECT_TRUE(has(s.state(), "flag=0x05\nflag_handle=0x0000\nflag_in_session=no\n"
                               "flag_request=30,a2,11,00,00,00,05\n"))
        << s.state();
}

TEST(Controller, PendingSubCommandFinishesAfterItsPolls)
{
    struct Case {
        const char* rule;
        uint8_t firstCc;
        uint8_t finalStatus;
        const char* flagAfter;
    };
    const Case cases[] = {
        {"on 30 a2 11 : pending 2", 0x02, 0x00, "flag=0x05"},
        {"on 30 a2 11 : pending 2 status 0d", 0x02, 0x0D, "flag=none"},
        {"on 30 a2 11 : pending 2 cc ff", 0xFF, 0x00, "flag=0x05"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.rule);
        Scratch s;
        auto c = s.make(k.rule);
        beginExtended(*c);
        Reply r = setFlag(*c, 0x05);
        EXPECT_EQ(r.cc, k.firstCc);
        EXPECT_TRUE(has(s.state(), "flag=none\n"));
        EXPECT_TRUE(has(s.state(), "pending=setStateFlagCmd:2\n")) << s.state();
        for (int poll = 0; poll < 2; ++poll) {
            r = status(*c, 0x11);
            ASSERT_EQ(r.cc, 0x00);
            EXPECT_EQ(r.data.at(2), 0x02) << "still pending, response byte 5";
            EXPECT_TRUE(has(s.state(), "flag=none\n"));
        }
        r = status(*c, 0x11);
        EXPECT_EQ(r.data.at(2), k.finalStatus);
        EXPECT_TRUE(has(s.state(), std::string(k.flagAfter) + "\n")) << s.state();
        EXPECT_TRUE(has(s.state(), "pending=-\n"));
        EXPECT_EQ(status(*c, 0x11).data.at(2), k.finalStatus) << "the outcome stays readable";
    }
}

TEST(Controller, PendingIsRefusedLikeAnyRequestWithoutASession)
{
    Scratch s;
    auto c = s.make("on 30 a2 11 : pending 2");
    Reply r = setFlag(*c, 0x05, 0);
    EXPECT_EQ(r.cc, 0xCC);
    EXPECT_TRUE(has(s.state(), "pending=-\n"));
}

TEST(Controller, AccessStates)
{
    struct Case {
        const char* line;
        uint8_t reported;
        uint8_t sessionCc;
    };
    const Case cases[] = {
        {"access enabled", 0x00, 0x00},
        {"access recovery", 0x02, 0x00}, // the recovery package may still use it
        {"access disabled", 0x01, 0x05},
        {"access 07", 0x07, 0x05},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        Scratch s;
        auto c = s.make(k.line);
        Reply r = c->handle(kOem, 0, 0xAE, {0x00, 0x00});
        EXPECT_EQ(r.cc, 0x00);
        EXPECT_EQ(r.data.at(0), k.reported);
        EXPECT_EQ(beginExtended(*c).cc, k.sessionCc);
    }
}

TEST(Controller, RuleWindowCountsMatchingRequests)
{
    Scratch s;
    auto c = s.make("on 30 a2 03 skip 1 times 2 : cc 03\n");
    beginPlain(*c);
    std::vector<uint8_t> codes;
    for (int i = 0; i < 4; ++i)
        codes.push_back(indexInfo(*c).cc);
    EXPECT_EQ(codes, (std::vector<uint8_t>{0x00, 0x03, 0x03, 0x00}));
    EXPECT_TRUE(has(s.log(), "seq=3 netfn=30 lun=0 cmd=a2 op=Getpartitionindexinfo "
                             "req=03,34,12,00,00 cc=03 rsp=- rule=1\n"))
        << s.log();
}

TEST(Controller, PrefixWildcardsAndFirstRuleWins)
{
    Scratch s;
    auto c = s.make("on 30 a2 11 xx xx 00 05 : cc 0d\n"
                    "on 30 a2 11 : cc 01\n"
                    "on * * : delay 7\n");
    beginPlain(*c);
    EXPECT_EQ(setFlag(*c, 0x05).cc, 0x0D);
    EXPECT_EQ(setFlag(*c, 0x06).cc, 0x01);
    Reply r = c->handle(0x06, 0, 0x01, {});
    EXPECT_EQ(r.cc, 0x00);
    EXPECT_EQ(r.delayMs, 7u);
}

TEST(Controller, ScriptedAnswersLeaveTheStateAlone)
{
    struct Case {
        const char* rule;
        std::function<void(const Reply&, const simipmi::Delivery&)> check;
    };
    const Case cases[] = {
        {"on 30 a2 12 : cc 00 data 99 99",
         [](const Reply& r, const simipmi::Delivery&) {
             EXPECT_EQ(r.cc, 0x00);
             EXPECT_EQ(r.data, (Bytes{0x99, 0x99}));
         }},
        {"on 30 a2 12 : silent",
         [](const Reply& r, const simipmi::Delivery&) { EXPECT_TRUE(r.silent); }},
        {"on 30 a2 12 : errno EIO",
         [](const Reply&, const simipmi::Delivery& d) { EXPECT_EQ(d.sendErrno, EIO); }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.rule);
        Scratch s;
        auto c = s.make(k.rule);
        Reply r = beginExtended(*c);
        k.check(r, c->lastDelivery());
        EXPECT_TRUE(has(s.state(), "session=closed\nsession_handle=-\n")) << s.state();
        EXPECT_EQ(beginPlain(*c).cc, 0x00) << "no session was left open";
    }
}

TEST(Controller, DeliveryDirectivesKeepTheControllersAnswer)
{
    Scratch s;
    auto c = s.make("on 30 a2 12 : stale 2 delay 30 length 8\n");
    Reply r = beginExtended(*c);
    EXPECT_EQ(r.cc, 0x00);
    EXPECT_EQ(r.delayMs, 30u);
    EXPECT_EQ(c->lastDelivery().staleFirst, 2u);
    EXPECT_EQ(r.data, (Bytes{0x34, 0x12, 0, 0, 0, 0, 0, 0})) << "padded to the scripted length";
    EXPECT_TRUE(has(s.state(), "session=open\n"));
    EXPECT_EQ(c->lastDelivery().sendErrno, 0);
}

TEST(Controller, DeviceIdNamesTheDocumentationEnterprise)
{
    Scratch s;
    auto c = s.make("");
    Reply r = c->handle(0x06, 0, 0x01, {});
    EXPECT_EQ(r.cc, 0x00);
    // Device 0x20, revision 1, firmware 1.00, IPMI 2.0, manufacturer 32473
    // (least significant byte first), product 0x0100.
    EXPECT_EQ(r.data, (Bytes{0x20, 0x81, 0x01, 0x00, 0x02, 0xBF, 0xD9, 0x7E, 0x00, 0x00, 0x01, 0x00,
                             0x00, 0x00, 0x00}));
    EXPECT_EQ(r.data[6] | (r.data[7] << 8) | (r.data[8] << 16), 32473);
}

TEST(Controller, ColdResetEndsTheSession)
{
    Scratch s;
    auto c = s.make("");
    beginExtended(*c);
    Reply r = c->handle(0x06, 0, 0x02, {});
    EXPECT_EQ(r.cc, 0x00);
    EXPECT_TRUE(r.data.empty());
    EXPECT_TRUE(has(s.state(), "session=closed\n"));
    EXPECT_TRUE(has(s.state(), "cold_resets=1\n"));
    EXPECT_EQ(beginExtended(*c).cc, 0x00);
}

TEST(Controller, ScriptHandleZeroIsGrantedAsIs)
{
    Scratch s;
    auto c = s.make("handle 0");
    Reply r = beginExtended(*c);
    EXPECT_EQ(r.data.at(0), 0x00);
    EXPECT_EQ(r.data.at(1), 0x00);
    EXPECT_EQ(endSession(*c, 0).cc, 0x00);
}

TEST(Controller, DevicePathsFromTheScript)
{
    Scratch s;
    EXPECT_EQ(s.make("")->devicePaths(),
              (std::vector<std::string>{"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"}));
    EXPECT_TRUE(s.make("devices none")->devicePaths().empty());
    EXPECT_EQ(s.make("devices /dev/ipmi/0")->devicePaths(),
              (std::vector<std::string>{"/dev/ipmi/0"}));
}

TEST(Controller, BrokenScriptIsReportedInLogAndState)
{
    Scratch s;
    auto c = s.make("generation 30\nfrobnicate\n");
    EXPECT_EQ(c->scriptError(), "line 2: unknown keyword 'frobnicate'");
    EXPECT_TRUE(has(s.log(), "script-error line 2: unknown keyword 'frobnicate'\n"));
    EXPECT_TRUE(has(s.state(), "script_error=line 2: unknown keyword 'frobnicate'\n"));
}

TEST(Controller, MissingScriptIsAnError)
{
    Controller c("/nonexistent/simipmi.script", "");
    EXPECT_FALSE(c.scriptError().empty());
}

} // namespace
