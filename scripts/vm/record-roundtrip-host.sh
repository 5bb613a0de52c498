# Host half of the "record" scenario, sourced by scripts/vm-test.sh (uses its
# root, build, img, results, copy_with_libs, make_payload, guest_check,
# guest_detail, pass and fail).
#
# The guest records "lumoswitch -i" and "lumoswitch -u" against the kernel's
# SCSI target and IPMI driver (scripts/vm/record-roundtrip-guest.sh); here
# each transcript is replayed by the simulators in the end-to-end sandbox, and
# the replayed run must leave the guest's reports, debug logs and exit status
# byte for byte (clock times and the process's session and descriptor
# numbers aside) and ask for every recorded call.

# The guest's recording package: the program, the storage recorder as
# ./libstorelibit.so, the SCSI generic library in the root-owned real/ folder,
# and the IPMI recorder outside the package, as a support engineer brings it.
record_image() {
    local pkg=$record_pkg
    copy_with_libs "$build/bin/lumoswitch" "$pkg"
    copy_with_libs "$build/lib/liblumorecord_storelibit.so" "$pkg"
    mv "$img$pkg/liblumorecord_storelibit.so" "$img$pkg/libstorelibit.so"
    copy_with_libs "$build/lib/libstorelibit_sg.so" "$pkg/real"
    chmod 0755 "$img$pkg/real"
    copy_with_libs "$build/lib/liblumorecord_ipmi.so" /usr/lib/lumorecord
    install -m 0644 "$root/tests/vm/package/package.xml" "$img$pkg/"
    make_payload "$img$pkg/payload"
    install -m 0644 "$root/scripts/vm/record-roundtrip-guest.sh" "$img/usr/lib/vmtest-record.sh"
}

# The guest's package folder; the replay runs the program there too, since
# the debug logs name the files it finds in it.
record_pkg=/opt/lumo-rec

# What the guest's tools do where the program calls them, for the sandbox's
# stand-ins: every module loads, an unload while the program holds the device
# is refused.
record_standins=(lsmod modprobe rmmod=1 insmod depmod udevadm udevcontrol rpm umount esxcli
    esxcfg-scsidevs esxcfg-rescan)

# Run inside the sandbox (whose root is a throw-away overlay, in a private
# mount namespace): the package folder at the guest's path, and the machine
# as the guest is beside the two recorded boundaries: no udev tools.
record_inside='pkg=$1 at=$2; shift 2
mkdir -p "$at" && mount --bind "$pkg" "$at" && cd "$at" || exit 125
rm -f /sbin/udevadm /sbin/udevcontrol
exec ./lumoswitch "$@"'

# Replays one story's transcript; leaves the run's files in
# $results/record/replay-<story>/pkg.
record_replay() { # story args...
    local story="$1"
    shift
    local g="$results/record/guest" dir="$results/record/replay-$story"
    rm -rf "$dir"
    mkdir -p "$dir/pkg" "$dir/in"
    cp "$g/record-$story.jsonl" "$dir/in/transcript.jsonl"
    cp "$build/bin/lumoswitch" "$build/lib/libstorelibit.so" "$root/tests/vm/package/package.xml" \
        "$dir/pkg/"
    make_payload "$dir/pkg/payload"
    local args=() t status=0
    for t in "${record_standins[@]}"; do
        args+=(--standin "$t")
    done
    args+=(--env "STORELIB_SIM_REPLAY=$dir/in/transcript.jsonl" --env "STORELIB_SIM_OUTDIR=$dir/pkg"
        --env "SIMIPMI_REPLAY=$dir/in/transcript.jsonl" --env "SIMIPMI_LOG=$dir/pkg/ipmi.log"
        --env "SIMIPMI_STATE=$dir/pkg/ipmi.state" --env SIMIPMI_TIME_SCALE=1000)
    "$root/tests/e2e/sandbox.sh" --pkg "$dir/pkg" --bind "$dir/in" --record "$dir/standins.log" \
        --preload "$build/lib/libsimipmi_preload.so" "${args[@]}" --timeout 300 \
        -- /bin/sh -c "$record_inside" record-replay "$dir/pkg" "$record_pkg" "$@" \
        >"$dir/stdout.txt" 2>"$dir/stderr.txt" || status=$?
    echo "$status" >"$dir/exit"
}

# Clock times and two facts of the process rather than of the run (the
# address the IPMI library names its session by, the descriptor number the
# device got), masked as the end-to-end round trip masks them.
record_masked() { # file
    [[ -e "$1" ]] || { echo "(missing)"; return; }
    sed -E -e 's#\[[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\] #[CLOCK] #g' \
        -e 's#(Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday), [A-Za-z]+ [0-9]{2}, [0-9]{4}#DATE#g' \
        -e 's#[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}(AM|PM)#DATE TIME#g' \
        -e 's#\b[0-9]{2}:[0-9]{2}(AM|PM)\b#TIME#g' \
        -e 's#(session ID = |File Descriptor Value )[0-9]+#\1N#g' "$1"
}

# The guest's file and the replay's, masked; a diff when they differ.
record_compare() { # story label guest-file replay-file
    local d="$results/record/replay-$1"
    if [[ ! -e "$3" ]]; then
        fail "record: $1: the guest sent no $2"
    elif diff -u <(record_masked "$3") <(record_masked "$4") >"$d/compare-$2.diff"; then
        pass "record: $1: replayed $2 identical to the guest's"
    else
        fail "record: $1: replayed $2 differs from the guest's (guest -, replay +):"
        sed 's/^/    /' "$d/compare-$2.diff" | head -40
    fi
}

record_judge_story() { # story report args...
    local story="$1" report="$2"
    shift 2
    local g="$results/record/guest" d="$results/record/replay-$story" n
    guest_check record "record-$story-run" || true
    [[ -s "$g/record-$story.jsonl" ]] || {
        fail "record: $story: no transcript came out of the guest"
        return
    }
    grep -q '"b":"storelib","ev":"load","status":"ok","library":"libstorelibit_sg.so"' \
        "$g/record-$story.jsonl" &&
        pass "record: $story: the recorder loaded the SCSI generic library" ||
        fail "record: $story: the recorder did not load the SCSI generic library"
    [[ ! -s "$g/record-$story.err" ]] ||
        fail "record: $story: the recording run wrote to standard error: $(head -c 300 "$g/record-$story.err")"
    "$build/bin/lumorecord-summary" "$g/record-$story.jsonl" >"$results/record/summary-$story.txt" 2>&1 ||
        fail "record: $story: lumorecord-summary failed: $(tail -n 3 "$results/record/summary-$story.txt")"

    record_replay "$story" "$@"
    [[ "$(cat "$d/exit")" == "$(cat "$g/record-$story.exit" 2>/dev/null)" ]] &&
        pass "record: $story: replay exit status $(cat "$d/exit") as in the guest" ||
        fail "record: $story: replay exit status $(cat "$d/exit"), guest $(cat "$g/record-$story.exit" 2>/dev/null)"
    if grep -q 'replay:' "$d/stderr.txt"; then
        fail "record: $story: the replay diverged: $(grep 'replay:' "$d/stderr.txt" | head -n 3)"
    fi
    cmp -s "$g/record-$story.out" "$d/stdout.txt" &&
        pass "record: $story: replayed standard output identical to the guest's" ||
        fail "record: $story: standard output differs from the guest's"
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
    local st
    st=$(cat "$d/pkg/storelib_replay.state" 2>/dev/null | tr '\n' ' ')
    [[ "$st" == *"status=complete"* ]] &&
        pass "record: $story: storage replay used every recorded command ($st)" ||
        fail "record: $story: storage replay: ${st:-no state}"
    if grep -q '"b":"ipmi"' "$g/record-$story.jsonl"; then
        st=$(grep '^replay_' "$d/pkg/ipmi.state" 2>/dev/null | tr '\n' ' ')
        [[ "$st" == *"replay_status=complete"* ]] &&
            pass "record: $story: IPMI replay used every recorded call ($st)" ||
            fail "record: $story: IPMI replay: ${st:-no state}"
    fi
}

# The same story recorded against the simulators (the topology the guest's
# switches serve, the controller script the guest's controller ran): what
# lumorecord-summary tells of it must be what it tells of the guest's run.
# (Below the summary the transcripts differ where the simulated library fills
# the device list's neighbouring fields on purpose; the SCSI generic library
# leaves them zero.)
record_against_simulators() { # story args...
    local story="$1"
    shift
    local dir="$results/record/sim-$story" g="$results/record/guest"
    rm -rf "$dir"
    mkdir -p "$dir/pkg/real"
    cp "$build/bin/lumoswitch" "$root/tests/vm/package/package.xml" "$dir/pkg/"
    cp "$build/lib/liblumorecord_storelibit.so" "$dir/pkg/libstorelibit.so"
    cp "$build/lib/libstorelibit.so" "$dir/pkg/real/"
    cp "$root/tests/vm/scsi/switches.conf" "$dir/pkg/storelib_topology.conf"
    make_payload "$dir/pkg/payload"
    local args=() t status=0
    for t in "${record_standins[@]}"; do
        args+=(--standin "$t")
    done
    args+=(--env "STORELIB_SIM_TOPOLOGY=$dir/pkg/storelib_topology.conf"
        --env "STORELIB_SIM_OUTDIR=$dir/pkg" --env "SIMIPMI_LOG=$dir/pkg/ipmi.log"
        --env "SIMIPMI_STATE=$dir/pkg/ipmi.state" --env SIMIPMI_TIME_SCALE=1000
        --env "SIMIPMI_SCRIPT=$root/sim/ipmi/scenarios/happy.script"
        --env "LUMOSWITCH_RECORD=$dir/pkg/transcript.jsonl"
        --env "LUMOSWITCH_RECORD_LIBRARY=$dir/pkg/real/libstorelibit.so")
    "$root/tests/e2e/sandbox.sh" --pkg "$dir/pkg" --record "$dir/standins.log" \
        --preload "$build/lib/liblumorecord_ipmi.so:$build/lib/libsimipmi_preload.so" \
        "${args[@]}" --timeout 300 -- ./lumoswitch "$@" >"$dir/stdout.txt" 2>"$dir/stderr.txt" ||
        status=$?
    "$build/bin/lumorecord-summary" "$dir/pkg/transcript.jsonl" >"$dir/summary.txt" 2>&1 || true
    if [[ "$status" == 0 ]] && diff -u <(grep -v '^storage library:' "$results/record/summary-$story.txt") \
        <(grep -v '^storage library:' "$dir/summary.txt") >"$dir/summary.diff"; then
        pass "record: $story: the simulators tell the kernel path's story (same summary)"
    else
        fail "record: $story: against the simulators (exit $status) the summary differs (kernel -, simulators +):"
        sed 's/^/    /' "$dir/summary.diff" | head -30
    fi
}

judge_record() {
    local g="$results/record/guest" n i
    guest_check record record-target || return 0
    guest_check record record-no-ipmi-before || true
    record_judge_story inventory inventory.xml -i -d -o inventory.xml
    record_judge_story update update.xml -u -d -o update.xml
    record_against_simulators update -u -d -o update.xml
    n=$({ grep -o 'The firmware update was successful' "$g/record-update-update.xml" 2>/dev/null || true; } | wc -l)
    [[ "$n" == 2 ]] && pass "record: the recorded update staged both switches" ||
        fail "record: the recorded update report has $n successes"
    grep -q '^flag=0x05' "$results/record/state" 2>/dev/null &&
        pass "record: controller holds state flag 5 after the recorded run" ||
        fail "record: controller state flag is $(grep '^flag=' "$results/record/state" 2>/dev/null)"
    local payload="$results/record/payload"
    make_payload "$payload"
    for i in 0 1; do
        cmp -s "$payload/lumo_sw_1.4.8.bin" "$g/record-received$i.bin" &&
            cmp -s "$payload/lumo_sw_1.4.8.bin" \
                "$results/record/replay-update/pkg/received_05000000_$i.bin" &&
            pass "record: switch $((i + 1)) got the payload byte for byte, in the guest and in the replay" ||
            fail "record: switch $((i + 1)) image differs from the payload (guest or replay)"
    done
}
