# shellcheck shell=sh
# Runs killed with SIGKILL while the host and the controller hold their
# changes, each followed by a second run that repairs them and a third that
# finds nothing: the rule files in place (second run -i), the repository
# session open and the power-cycle flag set (second run -u). The kill comes
# once the run's crash journal shows the change; the controller leaves the
# run's next request unanswered meanwhile (tests/vm/scenarios/crash.script).
JOURNAL=/var/lib/lumoswitch/journal

# The helpers' own names: check() and the others use n, r, w.
crash_kill() { # tag journal-pattern [file that must exist too]
    tag=$1
    ./lumoswitch -u -o "/tmp/$tag-1.xml" >/dev/null 2>"/tmp/$tag-1.err" &
    pid=$!
    tries=0
    while [ $tries -lt 1500 ]; do
        if grep -qs -- "$2" "$JOURNAL" && { [ -z "$3" ] || [ -e "$3" ]; }; then
            break
        fi
        sleep 0.02
        tries=$((tries + 1))
    done
    if grep -qs -- "$2" "$JOURNAL"; then
        # Past the change it noted, into the unanswered request.
        sleep 0.5
        check "$tag-held" PASS "journal shows '$2'"
    else
        check "$tag-held" FAIL "journal never showed '$2'"
    fi
    kill -9 "$pid"
    wait "$pid"
    status=$?
    check "$tag-killed" PASS "exit=$status pid=$pid"
    cp "$JOURNAL" "/tmp/$tag-1.journal" 2>/dev/null
    send_file "$tag-1.journal" "/tmp/$tag-1.journal"
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
    [ -e "$JOURNAL" ] && cp "$JOURNAL" "/tmp/$tag-$run.journal"
    for f in err rules modules xml journal; do
        send_file "$tag-$run.$f" "/tmp/$tag-$run.$f"
    done
}

scenario_crash() {
    cd /opt/lumo || { check crash FAIL "no /opt/lumo"; return; }
    mkdir -p /etc/udev/rules.d
    printf '# repository USB device\n' >98-secupdusb.rules
    printf '# repository partitions\n' >00-secupd-vantor.rules
    chmod 0644 98-secupdusb.rules 00-secupd-vantor.rules
    check crash-modules-before PASS "loaded: $(ipmi_modules)"

    crash_kill rules " rule /etc/udev/rules.d/00-secupd-vantor.rules " \
        /etc/udev/rules.d/00-secupd-vantor.rules
    crash_run rules 2 -i
    crash_run rules 3 -i

    crash_kill open " session 0x"
    crash_run open 2 -u
    crash_run open 3 -i

    crash_kill flag " flag-set 5"
    crash_run flag 2 -u
    crash_run flag 3 -i
}
