# shellcheck shell=bash
# The VM scenarios, one line each:
#   name     --scenario NAME; the guest gets it as lumo.scenario, its results
#            land in <build>/vm/results/NAME, and scripts/vm/judge/NAME.sh
#            defines judge_NAME, which judges them
#   guest    the guest part that runs it: scripts/vm/guest/PART.sh defines
#            scenario_PART
#   script   the script the simulated controller follows, from the top of the
#            tree (- for none); the judge gets it as its argument
#   what     what it shows
scenario_table() {
    cat <<'TABLE'
probe   probe    -                                      the kernel driver alone: modules loaded by hand, Get Device ID
update  program  sim/ipmi/scenarios/happy.script        a full "lumoswitch -u" that starts with no IPMI module loaded
silent  program  tests/vm/scenarios/silent-once.script  the same with a controller that leaves one request unanswered
scsi    scsi     sim/ipmi/scenarios/happy.script        the storage half on the kernel's SCSI stack: the SCSI generic library against two switches served by simstorelib_tcmu, sg3-utils, a download benchmark, faults and scsi_debug
record  record   sim/ipmi/scenarios/happy.script        "lumoswitch -i" and "-u" recorded in the guest at both boundaries, replayed on the host by the simulators
crash   crash    tests/vm/scenarios/crash.script        the kill matrix: runs killed with SIGKILL at seven points (rule files in place, session opening, session open, mid-download, pending poll, flag set, report being written), each repaired by the next run on the kernel's driver
TABLE
}

scenario_names() { scenario_table | awk '{ print $1 }'; }

# Prints "guest script" of a scenario (script "-" for none); fails for an
# unknown name.
scenario_row() { # name
    scenario_table | awk -v n="$1" '$1 == n { print $2, $3; found = 1 } END { exit !found }'
}

scenario_usage() {
    echo "scenarios (all by default):"
    scenario_table | awk '{ n = $1; $1 = $2 = $3 = ""; sub(/^ +/, ""); printf "  %-7s %s\n", n, $0 }'
}
