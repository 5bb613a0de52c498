# shellcheck shell=bash
# record: the guest recorded "lumoswitch -i" and "lumoswitch -u" against the
# kernel's SCSI target and IPMI driver; each transcript is replayed here by
# the simulators in the end-to-end sandbox, and the replayed run must leave
# the guest's reports, debug logs and exit status (clock times and the
# process's session and descriptor numbers aside) and ask for every
# recorded call.

# Run inside the sandbox (whose root is a throw-away overlay, in a private
# mount namespace): the package folder at the guest's path, since the debug
# logs name the files the program finds in it. The udev tool is the
# sandbox's stand-in, as the guest's is one that exits 0.
# shellcheck disable=SC2016 # expanded by the shell inside the sandbox
record_inside='pkg=$1 at=$2; shift 2
mkdir -p "$at" && mount --bind "$pkg" "$at" && cd "$at" || exit 125
exec ./lumoswitch "$@"'

# Replays one story's transcript; leaves the run in
# $VM_RESULTS/record/replay-<story>.
record_replay() { # story args...
    local story="$1"
    shift
    local g="$VM_RESULTS/record/guest" dir="$VM_RESULTS/record/replay-$story"
    rm -rf "$dir"
    mkdir -p "$dir/pkg" "$dir/in"
    cp "$g/record-$story.jsonl" "$dir/in/transcript.jsonl"
    cp "$VM_BUILD/bin/lumoswitch" "$VM_BUILD/lib/libstorelibit.so" \
        "$VM_ROOT/tests/vm/package/package.xml" "$dir/pkg/"
    sandbox_run "$dir" "" --bind "$dir/in" \
        --env "STORELIB_SIM_REPLAY=$dir/in/transcript.jsonl" --env "STORELIB_SIM_OUTDIR=$dir/pkg" \
        --env "SIMIPMI_REPLAY=$dir/in/transcript.jsonl" --env SIMIPMI_TIME_SCALE=1000 \
        -- /bin/sh -c "$record_inside" record-replay "$dir/pkg" /opt/lumo-rec "$@"
}

# The guest's file and the replay's, normalised; a diff when they differ.
record_compare() { # story label guest-file replay-file
    local d="$VM_RESULTS/record/replay-$1"
    if [[ ! -e "$3" ]]; then
        fail "record: $1: the guest sent no $2"
    elif diff -u <(normalize_trace "$3") <(normalize_trace "$4") >"$d/compare-$2.diff"; then
        pass "record: $1: replayed $2 identical to the guest's"
    else
        fail "record: $1: replayed $2 differs from the guest's (guest -, replay +):"
        sed 's/^/    /' "$d/compare-$2.diff" | head -40
    fi
}

record_judge_story() { # story report args...
    local story="$1" report="$2"
    shift 2
    local g="$VM_RESULTS/record/guest" d="$VM_RESULTS/record/replay-$story"
    guest_check record "record-$story-run" || true
    [[ -s "$g/record-$story.jsonl" ]] || {
        fail "record: $story: no transcript came out of the guest"
        return
    }
    verdict "record: $story: the recorder loaded the SCSI generic library" \
        "record: $story: the recorder did not load the SCSI generic library" \
        grep -q '"b":"storelib","ev":"load","status":"ok","library":"libstorelibit_sg.so"' \
        "$g/record-$story.jsonl"
    [[ ! -s "$g/record-$story.err" ]] ||
        fail "record: $story: the recording run wrote to standard error: $(head -c 300 "$g/record-$story.err")"
    "$VM_BUILD/bin/lumorecord-summary" "$g/record-$story.jsonl" \
        >"$VM_RESULTS/record/summary-$story.txt" 2>&1 ||
        fail "record: $story: lumorecord-summary failed: $(tail -n 3 "$VM_RESULTS/record/summary-$story.txt")"

    record_replay "$story" "$@"
    local st gst
    st=$(cat "$d/exit")
    gst=$(cat "$g/record-$story.exit" 2>/dev/null)
    verdict "record: $story: replay exit status $st as in the guest" \
        "record: $story: replay exit status $st, guest ${gst:-unknown}" test "$st" = "$gst"
    if grep -q 'replay:' "$d/stderr.txt"; then
        fail "record: $story: the replay diverged: $(grep 'replay:' "$d/stderr.txt" | head -n 3)"
    fi
    verdict "record: $story: replayed standard output identical to the guest's" \
        "record: $story: standard output differs from the guest's" \
        cmp -s "$g/record-$story.out" "$d/stdout.txt"
    if cmp -s "$g/record-$story-$report" "$d/pkg/$report"; then
        pass "record: $story: replayed $report byte-identical to the guest's"
    else
        record_compare "$story" "$report" "$g/record-$story-$report" "$d/pkg/$report"
    fi
    local log
    for log in debug_inv.log debug_update.log SCAL_DBG.log vexipmi.log baseutils.log \
        vexipmi_internal.log; do
        if [[ -e "$g/record-$story-$log" || -e "$d/pkg/$log" ]]; then
            record_compare "$story" "$log" "$g/record-$story-$log" "$d/pkg/$log"
        fi
    done
    # Every recorded call was asked for, at both boundaries.
    st=$(tr '\n' ' ' <"$d/pkg/storelib_replay.state" 2>/dev/null)
    verdict "record: $story: storage replay used every recorded command ($st)" \
        "record: $story: storage replay: ${st:-no state}" like "$st" "*status=complete*"
    if grep -q '"b":"ipmi"' "$g/record-$story.jsonl"; then
        st=$(grep '^replay_' "$d/pkg/state" 2>/dev/null | tr '\n' ' ')
        verdict "record: $story: IPMI replay used every recorded call ($st)" \
            "record: $story: IPMI replay: ${st:-no state}" like "$st" "*replay_status=complete*"
    fi
}

# The same story recorded against the simulators (the topology the guest's
# switches serve, the controller script the guest's controller ran): what
# lumorecord-summary tells of it must be what it tells of the guest's run.
# (Below the summary the transcripts differ where the simulated library fills
# the device list's neighbouring fields on purpose; the SCSI generic library
# leaves them zero.)
record_against_simulators() { # story controller-script args...
    local story="$1" script="$2"
    shift 2
    local dir="$VM_RESULTS/record/sim-$story"
    rm -rf "$dir"
    mkdir -p "$dir/pkg/real"
    cp "$VM_BUILD/bin/lumoswitch" "$VM_ROOT/tests/vm/package/package.xml" "$dir/pkg/"
    cp "$VM_BUILD/lib/liblumorecord_storelibit.so" "$dir/pkg/libstorelibit.so"
    cp "$VM_BUILD/lib/libstorelibit.so" "$dir/pkg/real/"
    cp "$VM_ROOT/tests/vm/scsi/switches.conf" "$dir/pkg/storelib_topology.conf"
    sandbox_run "$dir" "$script" --preload "$VM_BUILD/lib/liblumorecord_ipmi.so" \
        --env "STORELIB_SIM_TOPOLOGY=$dir/pkg/storelib_topology.conf" \
        --env "STORELIB_SIM_OUTDIR=$dir/pkg" --env SIMIPMI_TIME_SCALE=1000 \
        --env "LUMOSWITCH_RECORD=$dir/pkg/transcript.jsonl" \
        --env "LUMOSWITCH_RECORD_LIBRARY=$dir/pkg/real/libstorelibit.so" \
        -- ./lumoswitch "$@"
    "$VM_BUILD/bin/lumorecord-summary" "$dir/pkg/transcript.jsonl" >"$dir/summary.txt" 2>&1 || true
    local status
    status=$(cat "$dir/exit")
    if [[ "$status" == 0 ]] &&
        diff -u <(grep -v '^storage library:' "$VM_RESULTS/record/summary-$story.txt") \
            <(grep -v '^storage library:' "$dir/summary.txt") >"$dir/summary.diff"; then
        pass "record: $story: the simulators tell the kernel path's story (same summary)"
    else
        fail "record: $story: against the simulators (exit $status) the summary differs (kernel -, simulators +):"
        sed 's/^/    /' "$dir/summary.diff" | head -30
    fi
}

judge_record() { # controller-script
    local d="$VM_RESULTS/record" g="$VM_RESULTS/record/guest" n i
    guest_check record record-target || return 0
    guest_check record record-no-ipmi-before || true
    record_judge_story inventory inventory.xml -i -d -o inventory.xml
    record_judge_story update update.xml -u -d -o update.xml
    record_against_simulators update "$1" -u -d -o update.xml
    n=$(report_count "$g/record-update-update.xml" 'The firmware update was successful')
    verdict "record: the recorded update staged both switches" \
        "record: the recorded update report has $n successes" test "$n" = 2
    verdict "record: controller holds state flag 5 after the recorded run" \
        "record: controller state flag is $(grep '^flag=' "$d/state" 2>/dev/null)" \
        grep -qs '^flag=0x05' "$d/state"
    make_payload "$d/payload"
    for i in 0 1; do
        if cmp -s "$d/payload/lumo_sw_1.4.8.bin" "$g/record-received$i.bin" &&
            cmp -s "$d/payload/lumo_sw_1.4.8.bin" "$d/replay-update/pkg/received_05000000_$i.bin"; then
            pass "record: switch $((i + 1)) got the payload byte for byte, in the guest and in the replay"
        else
            fail "record: switch $((i + 1)) image differs from the payload (guest or replay)"
        fi
    done
}
