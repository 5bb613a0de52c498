// What an update leaves waiting for the power cycle, in the tool's state
// folder (/var/lib/lumoswitch inside the sandbox's throw-away root): the
// record of a run that staged it, and the places another user prepared that
// the record is never written through.

#ifdef LUMO_E2E_IPMI_PRELOAD

#include <functional>
#include <string>

#include "SwitchBoard.h"

namespace
{

using namespace e2e;

// Root prepares the host, nobody attacks, root runs the tool, then notes the
// facts the record must carry and gathers the evidence.
const char kDriver[] = R"(#!/bin/bash
/bin/bash -c "$E2E_PREPARE" || exit 120
if [ -n "$E2E_ATTACK" ]; then
    env -u LD_PRELOAD setpriv --reuid=nobody --regid=nogroup --clear-groups \
        /bin/sh -c "$E2E_ATTACK" || exit 121
fi
./lumoswitch "$@"
status=$?
{ cat /proc/sys/kernel/random/boot_id; sha256sum package.xml | cut -d' ' -f1; } > facts.txt
if [ -f /var/lib/lumoswitch/pending-power-cycle ] && [ ! -L /var/lib/lumoswitch/pending-power-cycle ]; then
    cat /var/lib/lumoswitch/pending-power-cycle > record.txt
    stat -c '%U %a' /var/lib/lumoswitch /var/lib/lumoswitch/pending-power-cycle > modes.txt
fi
/bin/bash -c "$E2E_CHECK" > evidence.txt 2>&1
exit $status
)";

const std::string kPackage = [] {
    std::string xml = BoardPackage();
    const std::string tag = "<SoftwareComponent>";
    return xml.replace(xml.find(tag), tag.size(), "<SoftwareComponent vendorVersion=\"1.3.0.0\">");
}();

struct PendingRun {
    RunResult result;
    std::string report;
    std::string record;
    std::string modes;
    std::string evidence;
    std::vector<std::string> facts; // boot ID, SHA-256 of package.xml
};

PendingRun RunTool(const std::string& name, const std::vector<std::string>& args,
                   const std::string& prepare = "", const std::string& attack = "",
                   const std::string& check = "", const std::string& topologyExtra = "")
{
    PackageDir pkg(std::string("pending-") + name);
    FillBoardPackage(pkg, topologyExtra, kPackage);
    pkg.write("driver.sh", kDriver);
    SandboxOptions opts;
    opts.ipmiScript = kHealthyController;
    opts.rootDir = RuleDirsRoot(pkg.path() + ".root");
    opts.env = {"E2E_PREPARE=" + prepare, "E2E_ATTACK=" + attack, "E2E_CHECK=" + check,
                "STORELIB_SIM_OUTDIR=" + pkg.path()};
    std::vector<std::string> command = {"/bin/bash", "./driver.sh"};
    command.insert(command.end(), args.begin(), args.end());
    PendingRun run;
    run.result = RunCommand(pkg, command, opts);
    run.report = pkg.read("report.xml");
    run.record = pkg.read("record.txt");
    run.modes = pkg.read("modes.txt");
    run.evidence = pkg.read("evidence.txt");
    run.facts = Lines(pkg.read("facts.txt"));
    run.facts.resize(2);
    run.facts.push_back(pkg.path());
    return run;
}

TEST(PendingPowerCycle, AnUpdateRecordsTheSwitchesThatTookTheirImageInThisBoot)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    // Switch 9 rejects its second chunk: only switch 8 waits for the power cycle.
    const PendingRun run = RunTool("recorded", {"-u", "-o", "report.xml"}, "", "", "",
                                   "fault dev=9 opcode=0x3b chunk=2 status=2 "
                                   "sense=70000500000000000000000024\n");
    ASSERT_EQ(0, run.result.status) << run.result.err;
    EXPECT_EQ(1u, Occurrences(run.report, Passed(kSuccessText))) << run.report;
    EXPECT_EQ("lumoswitch-pending-power-cycle 1\n"
              "boot " +
                  run.facts[0] +
                  "\n"
                  "package " +
                  run.facts[1] + " " + run.facts[2] +
                  "\n"
                  "power-cycle staged\n"
                  "switch " +
                  TableRow(0).second + " 1.2.10.0 1.3.0.0 " + TableRow(0).first + "\n",
              run.record);
    EXPECT_EQ("root 700\nroot 600\n", run.modes);
    EXPECT_EQ("", run.result.err);

    // An inventory changes nothing in the switches: no record.
    const PendingRun inventory = RunTool("inventory", {"-i", "-o", "report.xml"});
    EXPECT_EQ(0, inventory.result.status) << inventory.result.err;
    EXPECT_EQ("", inventory.record);
}

// Nobody got there first: the state folder, or a folder above it, is theirs.
// The run goes on (the record only spares a later rollout a download), says
// why neither the crash journal nor the record is kept (they share the
// folder), and writes nothing of either anywhere.
TEST(PendingPowerCycle, NothingIsWrittenThroughWhatAnotherUserPrepared)
{
    LUMO_E2E_REQUIRE_SANDBOX();
    const std::string victim = "printf 'root secret\\n' > /etc/lumo-victim && "
                               "chmod 600 /etc/lumo-victim && ";
    const std::string victimCheck = "cat /etc/lumo-victim; stat -c '%U %a' /etc/lumo-victim; ";
    const struct {
        const char* name;
        std::string prepare;
        std::string attack;
        std::string check;
        std::string evidence;
        const char* why;
    } cases[] = {
        {"their folder with links",
         victim + "install -d -o nobody -g nogroup -m 755 /var/lib/lumoswitch",
         "ln -s /etc/lumo-victim /var/lib/lumoswitch/pending-power-cycle && "
         "ln -s /etc/lumo-victim /var/lib/lumoswitch/pending-power-cycle.new",
         victimCheck + "readlink /var/lib/lumoswitch/pending-power-cycle "
                       "/var/lib/lumoswitch/pending-power-cycle.new",
         "root secret\nroot 600\n/etc/lumo-victim\n/etc/lumo-victim\n",
         "/var/lib/lumoswitch is not owned by root"},
        {"a link to their folder", "ln -s /tmp/theirs /var/lib/lumoswitch",
         "mkdir -m 777 /tmp/theirs", "ls -A /tmp/theirs; echo listed", "listed\n",
         "/var/lib/lumoswitch is a symbolic link"},
        {"a folder above open to all", "chmod 777 /var/lib", "mkdir -m 700 /var/lib/lumoswitch",
         "stat -c '%U' /var/lib/lumoswitch; ls -A /var/lib/lumoswitch; echo listed",
         "nobody\nlisted\n", "/var/lib is writable by group or others"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = c.name;
        std::replace(name.begin(), name.end(), ' ', '-');
        const PendingRun run =
            RunTool(name, {"-u", "-o", "report.xml"}, c.prepare, c.attack, c.check);
        ASSERT_LT(run.result.status, 120) << "the scenario's own steps failed: " << run.result.err;
        EXPECT_EQ(0, run.result.status) << run.result.err;
        EXPECT_EQ(2u, Occurrences(run.report, Passed(kSuccessText))) << run.report;
        EXPECT_EQ("lumoswitch: " + std::string(c.why) +
                      ": the crash journal there was not read, and this run keeps none; if it is "
                      "killed, the next run cannot undo what it changed\n"
                      "lumoswitch: the pending power cycle is not recorded: " +
                      std::string(c.why) + "\n",
                  run.result.err);
        EXPECT_EQ(c.evidence, run.evidence);
        EXPECT_EQ("", run.record);
    }
}

} // namespace

#endif
