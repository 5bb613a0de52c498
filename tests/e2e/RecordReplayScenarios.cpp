// Record once, replay forever: the real lumoswitch runs against the
// simulators with both recorders in place, then again against the simulators
// replaying that transcript (with the recorders still in place, so the replay
// leaves a transcript too). Reports, debug logs (clock times aside), exit
// status, the images the switches received and the transcripts themselves
// (timing aside) must be byte-identical; a changed payload or a damaged
// transcript must be caught at the right line.

#if defined(LUMO_E2E_IPMI_PRELOAD) && defined(LUMO_E2E_RECORD_IPMI)

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <regex>

#include "SwitchBoard.h"
#include "Transcript.h"

namespace
{

using namespace e2e;

const char* const kDebugLogs[] = {"debug_inv.log", "debug_update.log", "SCAL_DBG.log",
                                  "vexipmi.log",   "baseutils.log",    "vexipmi_internal.log"};

struct Story {
    std::string name;
    std::vector<std::string> args;
    std::string controller = kHealthyController;
    std::string topologyExtra; // lines after the second switch
    std::string report;        // report file name
    // Whether a wait times out depends on how the machine schedules two
    // live runs; only the replay is bound to the recording's timeouts.
    bool liveTiming = false;
};

struct Artifacts {
    int status = -1;
    std::string err;
    std::map<std::string, std::string> files; // name -> content
    std::string transcript;
};

void PrintTo(const Story& s, std::ostream* os)
{
    *os << s.name;
}

// Clock times in the debug logs ("[2026-12-10T12:36:45] ", weekday dates,
// 12-hour times) and three facts of the process rather than of the run: the
// address the IPMI library names its session by, the descriptor number the
// device got (the replaying simulators hold other files open) and the random
// part of the report's temporary file name (in the crash journal's lines).
std::string WithoutClock(const std::string& text)
{
    static const std::regex process(R"((session ID = |File Descriptor Value )\d+)");
    static const std::regex stamp(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] )");
    static const std::regex date(
        R"((Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday), \w+ \d\d, \d{4})");
    static const std::regex clock(R"(\b\d\d:\d\d(AM|PM)\b)");
    std::string out = std::regex_replace(text, stamp, "[CLOCK] ");
    out = std::regex_replace(out, date, "DATE");
    out = std::regex_replace(out, process, "$1N");
    static const std::regex temporary(R"((/\.[^/ ]+\.)[A-Za-z0-9]{6}\b)");
    out = std::regex_replace(out, temporary, "$1XXXXXX");
    return std::regex_replace(out, clock, "TIME");
}

std::string Normalised(const std::string& transcript)
{
    static const std::regex timing(R"((,"t_us":-?\d+|,"run":"[0-9a-f]*"|,"crc":"[0-9a-f]{8}"))");
    return std::regex_replace(transcript, timing, "");
}

// The first line where two texts differ, both versions; empty when equal.
std::string FirstDifference(const std::string& got, const std::string& want)
{
    const std::vector<std::string> a = Lines(got);
    const std::vector<std::string> b = Lines(want);
    for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
        const std::string x = i < a.size() ? a[i] : "<none>";
        const std::string y = i < b.size() ? b[i] : "<none>";
        if (x != y) {
            return "line " + std::to_string(i + 1) + ":\n  got:  " + x.substr(0, 400) +
                   "\n  want: " + y.substr(0, 400);
        }
    }
    return got == want ? "" : "differ in line ends";
}

// lumorecord-summary FIRST --diff SECOND: its output and exit status.
std::pair<int, std::string> SummaryDiff(const std::string& name, const std::string& first,
                                        const std::string& second)
{
    const std::string base = Paths::ScratchRoot() + "/rr-" + name;
    WriteFile(base + ".first.jsonl", first);
    WriteFile(base + ".second.jsonl", second);
    const std::string cmd = ShellQuote(LUMO_E2E_RECORD_SUMMARY) + " " +
                            ShellQuote(base + ".first.jsonl") + " --diff " +
                            ShellQuote(base + ".second.jsonl") + " >" + ShellQuote(base + ".diff");
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(base + ".diff")};
}

enum class Library { Recorder, Simulator };

// A fresh package directory of the story's name, its library in place.
PackageDir MakePackage(const Story& s, Library lib, const std::string& payloadTweak = "")
{
    PackageDir pkg("rr-" + s.name);
    pkg.topology(BoardTopology(s.topologyExtra));
    pkg.package(BoardPackage());
    std::string sw1 = FirstImage();
    if (!payloadTweak.empty()) {
        sw1[33000] = static_cast<char>(sw1[33000] ^ 0x01);
    }
    pkg.write("payload/sw1.bin", sw1);
    pkg.write("payload/sw2.bin", SecondImage());
    pkg.write("zukdebuglog", "");
    if (lib == Library::Recorder) {
        pkg.remove("libstorelibit.so");
        std::filesystem::copy_file(LUMO_E2E_RECORD_STORELIB, pkg.file("libstorelibit.so"));
        std::filesystem::create_directories(pkg.file("real"));
        std::filesystem::copy_file(Paths::SimLibrary(), pkg.file("real/libstorelibit.so"));
        pkg.unpackedByRoot();
    }
    return pkg;
}

SandboxOptions Options(const PackageDir& pkg, const Story& s, const std::string& root)
{
    SandboxOptions opts;
    opts.ipmiScript = s.controller;
    opts.rootDir = root;
    opts.standins = {"chmod"};
    opts.env = {"STORELIB_SIM_TOPOLOGY=" + pkg.file("storelib_topology.conf"),
                "STORELIB_SIM_OUTDIR=" + pkg.path()};
    return opts;
}

std::string SandboxRoot(const Story& s)
{
    return RuleDirsRoot(Paths::ScratchRoot() + "/rr-" + s.name + ".root");
}

Artifacts Collect(const PackageDir& pkg, const RunResult& r, const Story& s)
{
    Artifacts a;
    a.status = r.status;
    a.err = r.err;
    a.files["report"] = pkg.read(s.report);
    for (const char* log : kDebugLogs) {
        if (pkg.exists(log)) {
            a.files[log] = WithoutClock(pkg.read(log));
        }
    }
    for (unsigned dev : {8u, 9u}) {
        char name[64];
        std::snprintf(name, sizeof name, "received_%08X_%u.bin", 0x05000000u, dev);
        if (pkg.exists(name)) {
            a.files[name] = pkg.read(name);
        }
    }
    a.files["standins"] = r.standins;
    a.transcript = pkg.read("transcript.jsonl");
    return a;
}

// Both recorders in front of the package's libraries: the IPMI one preloaded,
// the storage one in the simulator's place with the simulator in real/.
void WithRecorders(SandboxOptions& opts, const PackageDir& pkg)
{
    opts.preloadFront = LUMO_E2E_RECORD_IPMI;
    opts.env.push_back("LUMOSWITCH_RECORD=" + pkg.file("transcript.jsonl"));
    opts.env.push_back("LUMOSWITCH_RECORD_LIBRARY=" + pkg.file("real/libstorelibit.so"));
}

// The run with both recorders in front of the simulators, recording into
// transcript.jsonl of the package.
Artifacts Record(const Story& s)
{
    const std::string root = SandboxRoot(s);
    PackageDir pkg = MakePackage(s, Library::Recorder);
    SandboxOptions opts = Options(pkg, s, root);
    WithRecorders(opts, pkg);
    const RunResult r = RunProgram(pkg, s.args, opts);
    return Collect(pkg, r, s);
}

// The story against the simulators, no recorder anywhere.
Artifacts Plain(const Story& s)
{
    const std::string root = SandboxRoot(s);
    PackageDir pkg = MakePackage(s, Library::Simulator);
    const RunResult r = RunProgram(pkg, s.args, Options(pkg, s, root));
    return Collect(pkg, r, s);
}

// The same story answered from `transcript`; with `rerecord`, the recorders
// stay in front of the replaying simulators.
Artifacts Replay(const Story& s, const std::string& transcript, bool rerecord,
                 const std::string& payloadTweak = "")
{
    const std::string root = SandboxRoot(s);
    PackageDir pkg =
        MakePackage(s, rerecord ? Library::Recorder : Library::Simulator, payloadTweak);
    const std::string recorded = Paths::ScratchRoot() + "/rr-" + s.name + ".recorded.jsonl";
    WriteFile(recorded, transcript);
    SandboxOptions opts = Options(pkg, s, root);
    // The controller's script must not matter: every answer is recorded.
    opts.ipmiScript = "devices none\n";
    opts.env.push_back("STORELIB_SIM_REPLAY=" + recorded);
    opts.env.push_back("SIMIPMI_REPLAY=" + recorded);
    opts.binds.push_back(Paths::ScratchRoot());
    if (rerecord) {
        WithRecorders(opts, pkg);
    }
    const RunResult r = RunProgram(pkg, s.args, opts);
    Artifacts a = Collect(pkg, r, s);
    a.files["ipmi.state"] = pkg.read("ipmi.state");
    a.files["storelib_replay.state"] = pkg.read("storelib_replay.state");
    a.files["ipmi.log"] = pkg.read("ipmi.log");
    a.files["storelib_trace.log"] = pkg.read("storelib_trace.log");
    return a;
}

Story Update(const std::string& name)
{
    Story s;
    s.name = name;
    s.args = {"-u", "-o", "update.xml"};
    s.report = "update.xml";
    return s;
}

std::vector<Story> Stories()
{
    std::vector<Story> all;
    Story inventory;
    inventory.name = "inventory";
    inventory.args = {"-i", "-o", "inventory.xml"};
    inventory.report = "inventory.xml";
    all.push_back(inventory);
    all.push_back(Update("update"));
    Story chunk = Update("rejected-chunk");
    chunk.topologyExtra =
        "fault dev=9 opcode=0x3b chunk=2 status=2 sense=70000500000000000000000024\n";
    all.push_back(chunk);
    Story refused = Update("refused-session");
    refused.controller =
        std::string(kHealthyController) + "on 30 a2 12 : cc 01\non 30 a2 00 : cc 01\n";
    all.push_back(refused);
    // Replies that come late, after a stale one, or never: the replay must
    // hand them over in the same order, and the program waits out the same
    // silences.
    Story disturbed = Update("late-stale-silent");
    disturbed.controller = std::string(kHealthyController) + "on 30 ad times 1 : stale 1\n"
                                                             "on 30 a2 03 times 1 : silent\n"
                                                             "on 30 a2 11 : delay 25000\n";
    disturbed.liveTiming = true;
    all.push_back(disturbed);
    Story noDevice = Update("no-ipmi-device");
    noDevice.controller = "devices none\n";
    all.push_back(noDevice);
    return all;
}

class RoundTrip : public ::testing::TestWithParam<Story>
{
};

TEST_P(RoundTrip, ReplayGivesTheRecordedRunByteForByte)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const Story& s = GetParam();
    const Artifacts recorded = Record(s);
    ASSERT_FALSE(recorded.transcript.empty()) << recorded.err;
    EXPECT_EQ(recorded.err.find("recorder"), std::string::npos) << recorded.err;
    EXPECT_NE(recorded.transcript.find("\"b\":\"storelib\",\"ev\":\"load\",\"status\":\"ok\""),
              std::string::npos);

    // The recorders change nothing: the same story without them.
    if (!s.liveTiming) {
        const Artifacts plain = Plain(s);
        EXPECT_EQ(plain.status, recorded.status);
        EXPECT_EQ(plain.err, recorded.err);
        for (const auto& f : recorded.files) {
            ASSERT_TRUE(plain.files.count(f.first)) << f.first;
            EXPECT_EQ(FirstDifference(plain.files.at(f.first), f.second), "")
                << "plain " << f.first;
        }
    }

    const Artifacts replayed = Replay(s, recorded.transcript, true);
    EXPECT_EQ(replayed.status, recorded.status);
    EXPECT_EQ(replayed.err, recorded.err);
    for (const auto& f : recorded.files) {
        ASSERT_TRUE(replayed.files.count(f.first)) << f.first;
        EXPECT_EQ(FirstDifference(replayed.files.at(f.first), f.second), "") << f.first;
    }
    EXPECT_EQ(FirstDifference(Normalised(replayed.transcript), Normalised(recorded.transcript)),
              "");
    const auto diff = SummaryDiff(s.name, recorded.transcript, replayed.transcript);
    EXPECT_EQ(diff.first, 0) << diff.second;
    EXPECT_EQ(diff.second.rfind("runs agree: ", 0), 0u) << diff.second;
    EXPECT_NE(replayed.files.at("storelib_replay.state").find("status=complete"), std::string::npos)
        << replayed.files.at("storelib_replay.state");
    if (s.name != "inventory") {
        EXPECT_NE(replayed.files.at("ipmi.state").find("replay_status=complete"), std::string::npos)
            << replayed.files.at("ipmi.state");
    }
}

INSTANTIATE_TEST_SUITE_P(Stories, RoundTrip, ::testing::ValuesIn(Stories()),
                         [](const ::testing::TestParamInfo<Story>& p) {
                             std::string n = p.param.name;
                             for (char& c : n) {
                                 if (c == '-') {
                                     c = '_';
                                 }
                             }
                             return n;
                         });

// The transcript line of the recorded WRITE BUFFER at `offset` into device `dev`.
size_t WriteBufferLine(const std::string& transcript, unsigned dev, unsigned offset)
{
    const std::vector<std::string> lines = Lines(transcript);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("\"dev\":" + std::to_string(dev) + ",\"scsi\":\"WRITE_BUFFER\"") !=
                std::string::npos &&
            lines[i].find("\"wb_offset\":" + std::to_string(offset) + ",") != std::string::npos) {
            return i + 1;
        }
    }
    return 0;
}

unsigned Successes(const std::string& report)
{
    return Occurrences(report, "was successful");
}

TEST(Replay, ChangedPayloadIsCaughtAtTheChunkThatCarriesIt)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const Story s = Update("changed-payload");
    const Artifacts recorded = Record(s);
    ASSERT_EQ(Successes(recorded.files.at("report")), 2u);
    // Byte 33000 of the first image travels in its second chunk (offset 32768).
    const size_t line = WriteBufferLine(recorded.transcript, 8, 32768);
    ASSERT_NE(line, 0u);

    const Artifacts replayed = Replay(s, recorded.transcript, false, "flip byte 33000");
    EXPECT_NE(replayed.err.find("storelib replay: divergence at transcript line " +
                                std::to_string(line) + ": recorded PASSTHRU"),
              std::string::npos)
        << replayed.err;
    // Both versions and where they part: the data byte at 64 + 33000 - 32768.
    EXPECT_NE(replayed.err.find("data byte 296: recorded "), std::string::npos) << replayed.err;
    EXPECT_NE(replayed.files.at("storelib_replay.state").find("status=diverged"),
              std::string::npos);
    EXPECT_NE(replayed.files.at("storelib_trace.log").find("REPLAY DIVERGENCE"), std::string::npos);
    EXPECT_LT(Successes(replayed.files.at("report")), 2u) << replayed.files.at("report");

    // Recorded again during the replay, the run parts from the first at that
    // very command, in the buffer the program sent.
    const Artifacts again = Replay(s, recorded.transcript, true, "flip byte 33000");
    const auto diff = SummaryDiff(s.name, recorded.transcript, again.transcript);
    EXPECT_EQ(diff.first, 1);
    EXPECT_NE(diff.second.find("line " + std::to_string(line) + " of the first, line " +
                               std::to_string(line) + " of the second, field \"in\""),
              std::string::npos)
        << diff.second;
}

// The recorded set-flag request as another build of the program would send
// it (flag 06 instead of 05), sealed anew so that it reads as a transcript
// that build recorded.
std::string WithOtherFlagRequest(const std::string& transcript, size_t& line)
{
    std::string out;
    uint32_t chain = lumorecord::kChainStart;
    const std::vector<std::string> lines = Lines(transcript);
    line = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        lumorecord::Entry e;
        std::string error;
        EXPECT_TRUE(lumorecord::ParseObject(lines[i], e, error)) << error;
        lumorecord::Line l;
        for (const auto& f : e.fields) {
            if (f.first == "crc") {
                continue;
            }
            std::string text = f.second.text;
            if (f.first == "data" && e.str("ev") == "send" && text.rfind("11", 0) == 0) {
                text.replace(text.size() - 2, 2, "06");
                line = i + 1;
            }
            if (f.second.isNumber) {
                l.add(f.first, f.second.number);
            } else {
                l.add(f.first, text);
            }
        }
        out += l.seal(chain, &chain);
    }
    return out;
}

TEST(Replay, AnotherControllerRequestIsCaughtWithBothVersions)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const Story s = Update("other-request");
    const Artifacts recorded = Record(s);
    size_t line = 0;
    const std::string other = WithOtherFlagRequest(recorded.transcript, line);
    ASSERT_NE(line, 0u);

    const Artifacts replayed = Replay(s, other, false);
    EXPECT_NE(replayed.err.find("ipmi replay: divergence at transcript line " +
                                std::to_string(line) + ": recorded: send msgid="),
              std::string::npos)
        << replayed.err;
    EXPECT_NE(replayed.err.find("data=1134120006; program: send msgid="), std::string::npos)
        << replayed.err;
    EXPECT_NE(replayed.err.find("data=1134120005"), std::string::npos) << replayed.err;
    EXPECT_NE(replayed.files.at("ipmi.log").find("replay-divergence line=" + std::to_string(line)),
              std::string::npos);
    EXPECT_NE(replayed.files.at("ipmi.state").find("replay_status=diverged"), std::string::npos);
    // The flag was not staged: no reboot promised.
    EXPECT_EQ(replayed.files.at("report").find("<RebootRequired>1</RebootRequired>"),
              std::string::npos)
        << replayed.files.at("report");
}

struct Damage {
    std::string name;
    // Damages the transcript; returns the line the replay must name.
    std::function<size_t(std::string&)> apply;
    std::string message; // part of the message
};

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& l : lines) {
        out += l + "\n";
    }
    return out;
}

TEST(Replay, DamagedTranscriptStopsAtTheFirstBadLine)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const Story s = Update("damaged");
    const Artifacts recorded = Record(s);
    ASSERT_GT(Lines(recorded.transcript).size(), 30u);

    const std::vector<Damage> damages = {
        {"cut inside a line",
         [](std::string& t) {
             const std::vector<std::string> l = Lines(t);
             t = JoinLines({l.begin(), l.begin() + 19}) + l[19].substr(0, l[19].size() / 2);
             return size_t{20};
         },
         "cut off"},
        {"line dropped",
         [](std::string& t) {
             std::vector<std::string> l = Lines(t);
             l.erase(l.begin() + 9);
             t = JoinLines(l);
             return size_t{10};
         },
         "checksum does not follow"},
        {"lines swapped",
         [](std::string& t) {
             std::vector<std::string> l = Lines(t);
             std::swap(l[9], l[10]);
             t = JoinLines(l);
             return size_t{10};
         },
         "checksum does not follow"},
        {"answer edited",
         [](std::string& t) {
             std::vector<std::string> l = Lines(t);
             const size_t at = l[11].find("\"data\":\"") + 8;
             l[11][at] = l[11][at] == '0' ? '1' : '0';
             t = JoinLines(l);
             return size_t{12};
         },
         "checksum does not follow"},
        {"cut between lines",
         [](std::string& t) {
             const std::vector<std::string> l = Lines(t);
             t = JoinLines({l.begin(), l.begin() + 12});
             size_t last = 0;
             for (size_t i = 0; i < 12; ++i) {
                 if (l[i].find("\"b\":\"storelib\",\"ev\":\"call\"") != std::string::npos) {
                     last = i + 1;
                 }
             }
             return last;
         },
         "transcript has no command after line"},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        std::string text = recorded.transcript;
        const size_t line = d.apply(text);
        const Artifacts replayed = Replay(s, text, false);
        EXPECT_NE(replayed.err.find("line " + std::to_string(line)), std::string::npos)
            << replayed.err;
        EXPECT_NE(replayed.err.find(d.message), std::string::npos) << replayed.err;
        EXPECT_NE(replayed.files.at("storelib_replay.state").find("status=diverged"),
                  std::string::npos);
        // Neither a crash nor a pass (3: the library refused to start).
        EXPECT_TRUE(replayed.status == 0 || replayed.status == 1 || replayed.status == 3)
            << replayed.status;
        EXPECT_LT(Successes(replayed.files.at("report")), 2u);
    }
}

// A recording run whose real library cannot be used ends as a run without
// any library: same report, same exit status; the transcript says why.
TEST(Record, UnusableRealLibraryBehavesAsNoLibrary)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    Story s;
    s.name = "no-library";
    s.args = {"-i", "-o", "inventory.xml"};
    s.report = "inventory.xml";
    const std::string root = SandboxRoot(s);

    PackageDir bare = MakePackage(s, Library::Simulator);
    bare.remove("libstorelibit.so");
    const RunResult without = RunProgram(bare, s.args, Options(bare, s, root));
    const std::string expected = bare.read(s.report);
    ASSERT_FALSE(expected.empty());

    struct Case {
        std::string name;
        std::function<void(const PackageDir&)> prepare;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"missing", [](const PackageDir& p) { p.remove("real/libstorelibit.so"); }, "absent"},
        {"writable by others",
         [](const PackageDir& p) { chmod(p.file("real/libstorelibit.so").c_str(), 0666); },
         "refused"},
        {"planted by another user",
         [](const PackageDir& p) {
             p.remove("real/libstorelibit.so");
             const std::string cmd = "setpriv --reuid=nobody --regid=nogroup --clear-groups cp " +
                                     ShellQuote(Paths::SimLibrary()) + " " +
                                     ShellQuote(p.file("real/")) + " 2>/dev/null || true";
             chmod(p.file("real").c_str(), 01777);
             if (std::system(cmd.c_str()) != 0 || !p.exists("real/libstorelibit.so")) {
                 ADD_FAILURE() << "nobody could not plant the library";
             }
             chmod(p.file("real").c_str(), 0755);
         },
         "refused"},
        {"symbolic link",
         [](const PackageDir& p) {
             p.remove("real/libstorelibit.so");
             std::filesystem::create_symlink(Paths::SimLibrary(), p.file("real/libstorelibit.so"));
         },
         "refused"},
        {"the recorder itself",
         [](const PackageDir& p) {
             p.remove("real/libstorelibit.so");
             std::filesystem::create_hard_link(p.file("libstorelibit.so"),
                                               p.file("real/libstorelibit.so"));
         },
         "self"},
        {"without the entry point",
         [](const PackageDir& p) {
             p.remove("real/libstorelibit.so");
             std::filesystem::copy_file(Paths::NoEntryLibrary(), p.file("real/libstorelibit.so"));
         },
         "absent"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        PackageDir pkg = MakePackage(s, Library::Recorder);
        k.prepare(pkg);
        SandboxOptions opts = Options(pkg, s, root);
        WithRecorders(opts, pkg);
        const RunResult with = RunProgram(pkg, s.args, opts);
        EXPECT_EQ(with.status, without.status);
        EXPECT_EQ(pkg.read(s.report), expected);
        const std::string transcript = pkg.read("transcript.jsonl");
        EXPECT_NE(transcript.find("\"ev\":\"load\",\"status\":\"" + k.status + "\""),
                  std::string::npos)
            << transcript;
        EXPECT_NE(transcript.find("\"rc\":32770"), std::string::npos);
        // No host path in the transcript: only the library's own name.
        EXPECT_EQ(transcript.find(pkg.path()), std::string::npos);
    }
}

// ---- recorded cases --------------------------------------------------------
// Each folder of tests/e2e/transcripts is a run recorded once (see the
// README): transcript.jsonl, args (one argument per line), package/ (copied
// into the package directory) and expected/ (files the replayed run must
// leave byte for byte; "exit-status" is the status, "summary.txt" the
// summary command's output for the transcript).

std::vector<std::string> RecordedCases()
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(LUMO_E2E_TRANSCRIPTS, ec)) {
        if (entry.is_directory()) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class RecordedCase : public ::testing::TestWithParam<std::string>
{
};

TEST_P(RecordedCase, ReplaysToTheExpectedResults)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const std::string dir = std::string(LUMO_E2E_TRANSCRIPTS) + "/" + GetParam();
    Story s;
    s.name = "case-" + GetParam();
    s.args = Lines(ReadFile(dir + "/args"));
    const std::string root = SandboxRoot(s);
    PackageDir pkg("rr-" + s.name);
    std::filesystem::copy(dir + "/package", pkg.path(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    pkg.unpackedByRoot();
    SandboxOptions opts;
    opts.rootDir = root;
    opts.standins = {"chmod"};
    opts.binds.push_back(dir);
    opts.env = {"STORELIB_SIM_OUTDIR=" + pkg.path(),
                "STORELIB_SIM_REPLAY=" + dir + "/transcript.jsonl",
                "SIMIPMI_REPLAY=" + dir + "/transcript.jsonl"};
    const RunResult r = RunProgram(pkg, s.args, opts);
    EXPECT_EQ(r.err.find("replay:"), std::string::npos) << r.err;

    for (const auto& entry : std::filesystem::directory_iterator(dir + "/expected")) {
        const std::string name = entry.path().filename().string();
        const std::string want = ReadFile(entry.path().string());
        if (name == "exit-status") {
            EXPECT_EQ(std::to_string(r.status) + "\n", want);
        } else if (name == "summary.txt") {
            const std::string out = pkg.file("summary.out");
            const std::string cmd = ShellQuote(LUMO_E2E_RECORD_SUMMARY) + " " +
                                    ShellQuote(dir + "/transcript.jsonl") + " >" + ShellQuote(out);
            EXPECT_EQ(std::system(cmd.c_str()), 0);
            EXPECT_EQ(FirstDifference(ReadFile(out), want), "") << name;
        } else {
            EXPECT_EQ(FirstDifference(WithoutClock(pkg.read(name)), WithoutClock(want)), "")
                << name;
        }
    }
    // Every recorded call was asked for: a program that stops short of the
    // recording does not pass either.
    const std::string transcript = ReadFile(dir + "/transcript.jsonl");
    if (transcript.find("{\"b\":\"storelib\",\"ev\":\"call\"") != std::string::npos) {
        EXPECT_NE(pkg.read("storelib_replay.state").find("status=complete"), std::string::npos);
    }
    if (transcript.find("{\"b\":\"ipmi\"") != std::string::npos) {
        EXPECT_NE(pkg.read("ipmi.state").find("replay_status=complete"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Transcripts, RecordedCase, ::testing::ValuesIn(RecordedCases()),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                             std::string n = p.param;
                             for (char& c : n) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RecordedCase);

} // namespace

#endif
