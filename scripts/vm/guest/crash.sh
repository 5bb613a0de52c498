# shellcheck shell=sh
# The kill matrix on the kernel's IPMI driver: seven times a "lumoswitch -u"
# is killed with SIGKILL where the host or the controller holds one of its
# changes, then a second run repairs what it left and a third finds nothing.
# Each killed run starts with no IPMI module loaded, as after a boot. The
# controller leaves the killed run's next request unanswered
# (tests/vm/scenarios/crash.script); the storage simulator holds a chunk and
# a preloaded rename holds the report where the controller has no part.
JOURNAL=/var/lib/lumoswitch/journal
SIMOUT=/tmp/storelib
HOLDRENAME=/usr/lib/lumotest/libe2e_holdrename.so

# The helpers' own names: check() and the others use n, r, w.
crash_journal_has() { # text
    grep -qs -- "$1" "$JOURNAL"
}

# Both rule files noted and the second one made.
crash_rules_in_place() {
    crash_journal_has " rule /etc/udev/rules.d/00-secupd-vantor.rules " &&
        test -e /etc/udev/rules.d/00-secupd-vantor.rules
}

# Starts the killed run (with the environment words given), waits until the
# condition (a command line) holds, lets the run settle into the request that
# is never answered, and kills it.
crash_kill() { # tag settle-seconds condition [environment...]
    tag=$1
    settle=$2
    cond=$3
    shift 3
    rmmod ipmi_si ipmi_devintf ipmi_msghandler 2>/dev/null
    ipmi_modules >"/tmp/$tag-0.modules"
    send_file "$tag-0.modules" "/tmp/$tag-0.modules"
    env "$@" ./lumoswitch -u -o "/tmp/$tag-1.xml" >/dev/null 2>"/tmp/$tag-1.err" &
    pid=$!
    tries=0
    while [ $tries -lt 1500 ] && ! eval "$cond"; do
        sleep 0.02
        tries=$((tries + 1))
    done
    if eval "$cond"; then
        sleep "$settle"
        check "$tag-held" PASS "held at: $cond"
    else
        check "$tag-held" FAIL "never held at: $cond"
    fi
    kill -9 "$pid"
    wait "$pid"
    status=$?
    check "$tag-killed" PASS "exit=$status pid=$pid"
    rm -f "$SIMOUT"/held_* "/tmp/$tag-1.xml.held"
    ipmi_modules >"/tmp/$tag-1.modules"
    cp "$JOURNAL" "/tmp/$tag-1.journal" 2>/dev/null
    for f in err modules journal; do
        send_file "$tag-1.$f" "/tmp/$tag-1.$f"
    done
}

crash_run() { # tag run-number arguments...
    tag=$1
    run=$2
    shift 2
    ./lumoswitch "$@" -o "/tmp/$tag-$run.xml" >/dev/null 2>"/tmp/$tag-$run.err"
    status=$?
    check "$tag-$run-run" PASS "exit=$status"
    ls /etc/udev/rules.d >"/tmp/$tag-$run.rules"
    ipmi_modules >"/tmp/$tag-$run.modules"
    # Report temporary files left in the folder the reports go to.
    for f in /tmp/.*.xml.*; do
        [ -e "$f" ] && echo "$f"
    done >"/tmp/$tag-$run.leftovers"
    rm -f "/tmp/$tag-$run.journal"
    [ -e "$JOURNAL" ] && cp "$JOURNAL" "/tmp/$tag-$run.journal"
    for f in err rules modules leftovers xml journal; do
        send_file "$tag-$run.$f" "/tmp/$tag-$run.$f"
    done
}

scenario_crash() {
    cd /opt/lumo || { check crash FAIL "no /opt/lumo"; return; }
    mkdir -p /etc/udev/rules.d "$SIMOUT"
    printf '# repository USB device\n' >98-secupdusb.rules
    printf '# repository partitions\n' >00-secupd-vantor.rules
    chmod 0644 98-secupdusb.rules 00-secupd-vantor.rules
    # The storage simulator holds the second switch (device 9) at chunk 2.
    awk '{ print } /^device id=9 / { print "fault dev=9 opcode=0x3b chunk=2 hold=1" }' \
        storelib_topology.conf >/tmp/hold-topology.conf

    # Rule files in place, modules loaded; the access state unanswered.
    crash_kill rules 0.5 crash_rules_in_place
    crash_run rules 2 -i
    crash_run rules 3 -i

    # As far, then among the session-open attempts: the extended open
    # refused, the plain one unanswered.
    crash_kill opening 1 crash_rules_in_place
    crash_run opening 2 -u
    crash_run opening 3 -i

    # Session 0x1235 open; the partition list unanswered.
    crash_kill open 0.5 "crash_journal_has ' session 0x1235'"
    crash_run open 2 -u
    crash_run open 3 -i

    # The second switch's chunk 2 held: nothing lasting changed yet.
    crash_kill download 0 "test -e $SIMOUT/held_05000000_9_2" \
        STORELIB_SIM_TOPOLOGY=/tmp/hold-topology.conf STORELIB_SIM_OUTDIR="$SIMOUT"
    crash_run download 2 -u
    crash_run download 3 -i

    # The flag asked for and pending; its polls (a second apart) unanswered.
    crash_kill poll 2.5 "crash_journal_has ' flag 5'"
    crash_run poll 2 -u
    crash_run poll 3 -i

    # The flag set; the end of session 0x123a unanswered.
    crash_kill flag 0.5 "crash_journal_has ' flag-set 5'"
    crash_run flag 2 -u
    crash_run flag 3 -i

    # Rule files gone, session ended, flag set; the report written into its
    # temporary file and held before the rename.
    crash_kill report 0 "test -e /tmp/report-1.xml.held" \
        LD_PRELOAD="$HOLDRENAME" E2E_HOLD_RENAME=report-1.xml
    crash_run report 2 -i
    crash_run report 3 -i
}
