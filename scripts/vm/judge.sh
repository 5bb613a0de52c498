# shellcheck shell=bash
# What the scenarios' judges share: the guest's checks, the program's run,
# and the same update in the end-to-end sandbox for comparison.

# A guest check reported on the channel.
guest_check() { # scenario check-name
    local line
    line=$(grep "^VMTEST-CHECK $2 " "$VM_RESULTS/$1/channel.txt" 2>/dev/null | tail -n1)
    if [[ "$line" == "VMTEST-CHECK $2 PASS"* ]]; then
        pass "$1/$2: ${line#"VMTEST-CHECK $2 PASS "}"
        return 0
    fi
    fail "$1/$2: ${line:-not reported}"
    return 1
}
guest_detail() { # scenario check-name -> detail text
    grep "^VMTEST-CHECK $2 " "$VM_RESULTS/$1/channel.txt" 2>/dev/null | tail -n1 |
        cut -d' ' -f4-
}

# pass PASS-MESSAGE when the command succeeds, fail FAIL-MESSAGE otherwise.
verdict() { # pass-message fail-message command...
    local ok="$1" ko="$2"
    shift 2
    if "$@"; then pass "$ok"; else fail "$ko"; fi
}
# Glob and regular-expression matches as commands, for verdict.
# shellcheck disable=SC2053 # the pattern is meant as a glob
like() { [[ "$1" == $2 ]]; }       # text glob
matches() { [[ "$1" =~ $2 ]]; }    # text extended-regex

report_count() { # report text
    { grep -o "$2" "$1" 2>/dev/null || true; } | wc -l
}

# Checks shared by the scenarios that run the program.
judge_program() { # scenario
    local s="$1" dir="$VM_RESULTS/$1"
    guest_check "$s" no-modules-before || true
    local run
    run=$(guest_detail "$s" program-run)
    if [[ "$run" == exit=0* ]]; then
        pass "$s: program ran ($run)"
    else
        fail "$s: program run: ${run:-not reported}"
    fi
    # The program loaded every module itself; its unloads, made while its
    # device was open, were refused, and once it ended nothing held them.
    local after m bad=0
    after=$(guest_detail "$s" modules-after)
    local ilog="$dir/guest/vexipmi_internal.log"
    for m in ipmi_msghandler ipmi_devintf ipmi_si; do
        if [[ " $after " != *" $m "* ]]; then
            fail "$s: module $m not loaded after the run ($after)"
            bad=1
        fi
        if ! grep -q "modprobe $m .*exit code : 0" "$ilog" 2>/dev/null; then
            fail "$s: IPMI library log shows no successful modprobe $m"
            bad=1
        fi
        if ! grep -q "rmmod $m " "$ilog" 2>/dev/null; then
            fail "$s: IPMI library log shows no unload attempt of $m"
            bad=1
        fi
    done
    ((bad)) || pass "$s: the program loaded the three modules with modprobe and tried to unload them"
    guest_check "$s" modules-unload || true
    verdict "$s: controller holds state flag 5" \
        "$s: controller state flag is $(grep '^flag=' "$dir/state" 2>/dev/null)" \
        grep -qs '^flag=0x05' "$dir/state"
    grep -q '^session=closed' "$dir/state" 2>/dev/null ||
        fail "$s: repository session left $(grep '^session=' "$dir/state" 2>/dev/null)"
}

# --- the same update in the end-to-end sandbox ------------------------------------
# Runs a command in the sandbox from $dir/pkg (the caller has put the
# program and its storage library there) with the LD_PRELOAD device in front
# of the controller script, or of what the options give it (a replay). The
# options (sandbox.sh's) come before the device: a --preload there sits in
# front of it. The system tools are the sandbox's recording stand-ins (its
# udevadm exits 0, as the guest's does); rmmod fails as the guest's did (the
# open device holds the modules) and lsmod lists nothing, as in the guest
# before the run. Output lands in $dir/stdout.txt and $dir/stderr.txt, the
# exit status in $dir/exit.
sandbox_run() { # dir controller-script(or empty) [sandbox-option]... -- command...
    local dir="$1" script="$2" status=0 args=() t
    shift 2
    make_payload "$dir/pkg/payload"
    for t in lsmod modprobe rmmod=1 insmod depmod udevadm udevcontrol rpm umount esxcli \
        esxcfg-scsidevs esxcfg-rescan; do
        args+=(--standin "$t")
    done
    args+=(--env "SIMIPMI_LOG=$dir/pkg/requests.log" --env "SIMIPMI_STATE=$dir/pkg/state"
        --env SIMIPMI_TIME_SCALE=100)
    # The sandbox mounts a fresh /tmp: a script from a checkout under /tmp
    # would vanish inside it, so the run reads its own copy in the package.
    if [[ -n "$script" ]]; then
        cp "$script" "$dir/pkg/controller.script"
        args+=(--env "SIMIPMI_SCRIPT=$dir/pkg/controller.script")
    fi
    while (($#)) && [[ "$1" != -- ]]; do
        args+=("$1")
        shift
    done
    shift
    "$VM_ROOT/tests/e2e/sandbox.sh" --pkg "$dir/pkg" --record "$dir/pkg/standins.log" \
        "${args[@]}" --preload "$VM_BUILD/lib/libsimipmi_preload.so" --timeout 600 \
        -- "$@" >"$dir/stdout.txt" 2>"$dir/stderr.txt" || status=$?
    echo "$status" >"$dir/exit"
}

# "lumoswitch -u" in the sandbox; its report lands in $dir/pkg/report.xml.
sandbox_update() { # dir controller-script(or empty) [sandbox-option]...
    local dir="$1" script="$2"
    shift 2
    sandbox_run "$dir" "$script" "$@" -- ./lumoswitch -u -d -o "$dir/pkg/report.xml"
}

# The scenario under the preload stand-in, with the simulated storage library.
preload_run() { # scenario controller-script
    local dir="$VM_RESULTS/$1/preload"
    rm -rf "$dir"
    mkdir -p "$dir/pkg"
    cp "$VM_BUILD/bin/lumoswitch" "$VM_BUILD/lib/libstorelibit.so" \
        "$VM_BUILD/lib/libstorelibit.so.07" "$VM_BUILD/lib/storelib_topology.conf" \
        "$VM_ROOT/tests/vm/package/package.xml" "$dir/pkg/"
    # As root unpacks it, whatever the modes of the source tree and the umask.
    chmod -R go-w "$dir/pkg"
    # The driver's timeout answer for a silent controller, as the guest gets
    # it from QEMU's external BMC link.
    sandbox_update "$dir" "$2" --env SIMIPMI_DRIVER_TIMEOUT_MS=4000
}

# The controller's view of the program: its requests (NetFn 0x30; the kernel
# driver's own start-up requests stay out) without the running number.
program_requests() { # request-log
    grep ' netfn=30 ' "$1" 2>/dev/null | sed 's/^seq=[0-9]* //'
}

# A log without clock times and three facts of the process rather than of
# the run: the address the IPMI library names its session by, the descriptor
# number the device got and the random part of a report's temporary name.
normalize_trace() { # log file
    [[ -s "$1" ]] || { echo "(missing or empty)"; return; }
    sed -E -e 's#\[[0-9]{4}-[0-9T:-]+\] ##g' \
        -e 's#(Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday), [A-Za-z]+ [0-9]{2}, [0-9]{4}#DATE#g' \
        -e 's#[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}(AM|PM)#DATE TIME#g' \
        -e 's#\b[0-9]{2}:[0-9]{2}(AM|PM)\b#TIME#g' \
        -e 's#(session ID = |File Descriptor Value )[0-9]+#\1N#g' \
        -e 's#(/\.[^/ ]+\.)[A-Za-z0-9]{6}\b#\1XXXXXX#g' "$1"
}

compare_with_preload() { # scenario controller-script
    local s="$1" dir="$VM_RESULTS/$1"
    preload_run "$s" "$2"
    local st
    st=$(cat "$dir/preload/exit")
    [[ "$st" == 0 ]] || fail "$s: program under the preload stand-in exited with $st"
    if diff -u <(program_requests "$dir/requests.log") \
        <(program_requests "$dir/preload/pkg/requests.log") >"$dir/compare.diff"; then
        pass "$s: controller request log identical to the preload stand-in's" \
            "($(program_requests "$dir/requests.log" | wc -l) requests)"
    else
        fail "$s: request log differs from the preload stand-in's (real driver -, stand-in +):"
        sed 's/^/    /' "$dir/compare.diff"
    fi
    # The IPMI library's and the access layer's own traces, without clock
    # times, the thread's number and the descriptor's number.
    local log
    for log in vexipmi_internal.log SCAL_DBG.log; do
        if diff -u <(normalize_trace "$dir/guest/$log") \
            <(normalize_trace "$dir/preload/pkg/$log") >"$dir/compare-$log.diff"; then
            pass "$s: $log identical to the preload stand-in's"
        else
            fail "$s: $log differs from the preload stand-in's (real driver -, stand-in +):"
            sed 's/^/    /' "$dir/compare-$log.diff" | head -40
        fi
    done
    if cmp -s "$dir/guest/report.xml" "$dir/preload/pkg/report.xml"; then
        pass "$s: update report identical to the preload stand-in's"
    else
        fail "$s: update report differs from the preload stand-in's"
    fi
}
