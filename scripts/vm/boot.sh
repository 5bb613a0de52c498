# shellcheck shell=bash
# One guest: QEMU with the external-BMC device, the bridge to the simulated
# controller, bounded waits for the guest's report, and the files it sent.

# QEMU and the bridge run in the background; the driver's trap calls
# stop_children whatever ends the run (a failure under set -e, die, a signal).
VM_QEMU_PID=""
VM_BRIDGE_PID=""
stop_children() {
    local p
    for p in $VM_QEMU_PID $VM_BRIDGE_PID; do
        kill "$p" 2>/dev/null || true
    done
    for p in $VM_QEMU_PID $VM_BRIDGE_PID; do
        wait "$p" 2>/dev/null || true
    done
    VM_QEMU_PID=""
    VM_BRIDGE_PID=""
}

free_port() {
    local p
    for _ in $(seq 1 50); do
        p=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return
        fi
    done
    die "no free TCP port found"
}

# Starts QEMU on a free port for the external-BMC link; retries when another
# process took the port first. Prints the port and the time QEMU started.
start_qemu() { # scenario guest-part kver dir
    local name="$1" part="$2" kver="$3" dir="$4" port t0
    # no_timer_check: on a busy host TCG can miss the kernel's timer
    # interrupt test at boot, which then panics ("IO-APIC + timer doesn't
    # work"); the test proves nothing about the scenarios.
    for _ in 1 2 3 4 5; do
        port=$(free_port)
        t0=$(now)
        qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nodefaults -no-reboot \
            -display none -monitor none \
            -kernel "$VM_CACHE/kernel/boot/vmlinuz-$kver" -initrd "$VM_DIR/initrd.gz" \
            -append "console=ttyS0 panic=-1 loglevel=4 no_timer_check lumo.scenario=$name lumo.part=$part" \
            -serial "file:$dir/console.log" -serial "file:$dir/channel.log" \
            -chardev "socket,id=ipmi0,host=127.0.0.1,port=$port,server=on,wait=off" \
            -device ipmi-bmc-extern,id=bmc0,chardev=ipmi0 \
            -device isa-ipmi-kcs,bmc=bmc0 \
            >"$dir/qemu.log" 2>&1 &
        VM_QEMU_PID=$!
        sleep 0.5
        if kill -0 "$VM_QEMU_PID" 2>/dev/null; then
            echo "$port $t0"
            return
        fi
        wait "$VM_QEMU_PID" || true
        grep -q 'Address already in use' "$dir/qemu.log" || {
            cat "$dir/qemu.log" >&2
            die "QEMU did not start ($name)"
        }
    done
    die "QEMU could not bind a port ($name)"
}

# Waits for the guest's VMTEST-DONE within the boot and run limits; leaves
# "booted done status" in $dir/wait (times in seconds from t0, or "none").
await_guest() { # dir t0
    local dir="$1" t0="$2" booted="" done_="" status=ok e
    while :; do
        if [[ -z "$booted" ]] && grep -q '^VMTEST-BOOTED' "$dir/channel.log" 2>/dev/null; then
            booted=$(elapsed "$t0")
        fi
        if grep -q '^VMTEST-DONE' "$dir/channel.log" 2>/dev/null; then
            done_=$(elapsed "$t0")
            break
        fi
        if ! kill -0 "$VM_QEMU_PID" 2>/dev/null; then
            status="guest stopped before finishing"
            break
        fi
        e=$(elapsed "$t0")
        if [[ -z "$booted" ]] && exceeds "$e" "$VM_BOOT_TIMEOUT"; then
            status="guest did not boot within ${VM_BOOT_TIMEOUT}s"
            break
        fi
        if exceeds "$e" "$VM_RUN_TIMEOUT"; then
            status="guest did not finish within ${VM_RUN_TIMEOUT}s"
            break
        fi
        sleep 0.2
    done
    printf '%s\n%s\n%s\n' "${booted:-none}" "${done_:-none}" "$status" >"$dir/wait"
}

# Ends QEMU (the guest powers itself off after VMTEST-DONE; it gets a moment)
# and the bridge, whose exit code lands in $dir/extbmc.rc.
stop_guest() { # dir finished(ok or not)
    local dir="$1" finished="$2"
    if [[ "$finished" == ok ]]; then
        for _ in $(seq 1 50); do
            kill -0 "$VM_QEMU_PID" 2>/dev/null || break
            sleep 0.2
        done
    fi
    kill "$VM_QEMU_PID" 2>/dev/null || true
    wait "$VM_QEMU_PID" 2>/dev/null || true
    # QEMU's exit closes the link and ends the bridge; bound that too.
    for _ in $(seq 1 50); do
        kill -0 "$VM_BRIDGE_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill "$VM_BRIDGE_PID" 2>/dev/null || true
    local brc=0
    wait "$VM_BRIDGE_PID" || brc=$?
    echo "$brc" >"$dir/extbmc.rc"
    VM_QEMU_PID=""
    VM_BRIDGE_PID=""
}

# Boots the guest for one scenario. Leaves console.log, channel.log (and
# channel.txt), requests.log, state, extbmc.trace, timing and guest/ in
# $VM_RESULTS/<scenario>.
boot_guest() { # scenario guest-part controller-script(or empty) kver
    local name="$1" part="$2" script="$3" kver="$4"
    local dir="$VM_RESULTS/$name"
    rm -rf "$dir"
    mkdir -p "$dir"
    local t0 port
    # Not in $(...): QEMU must stay this shell's child for the trap.
    start_qemu "$name" "$part" "$kver" "$dir" >"$dir/port"
    read -r port t0 <"$dir/port"

    local extargs=(--connect "127.0.0.1:$port" --log "$dir/requests.log"
        --state "$dir/state" --trace "$dir/extbmc.trace" --connect-timeout 20)
    [[ -n "$script" ]] && extargs+=(--script "$script")
    "$VM_BUILD/bin/simipmi_extbmc" "${extargs[@]}" &
    VM_BRIDGE_PID=$!

    await_guest "$dir" "$t0"
    local booted done_ status
    { read -r booted; read -r done_; read -r status; } <"$dir/wait"
    stop_guest "$dir" "$status"

    echo "boot=$booted total=$done_" >"$dir/timing"
    # Judged from a copy without carriage returns, whatever the tty did.
    tr -d '\r' <"$dir/channel.log" >"$dir/channel.txt" 2>/dev/null || true
    extract_files "$dir"
    if [[ "$status" != ok ]]; then
        fail "$name: $status (console log: $dir/console.log)"
        return 1
    fi
    echo "vm-test: $name: guest booted in ${booted}s, scenario done after ${done_}s"
}

# Decodes the guest's VMTEST-FILE blocks into $dir/guest/<name>.
extract_files() { # dir
    local dir="$1" name
    mkdir -p "$dir/guest"
    awk '/^VMTEST-FILE [A-Za-z0-9._-]+$/ { print $2 }' "$dir/channel.txt" 2>/dev/null |
        while read -r name; do
            awk -v n="$name" '
                $0 == "VMTEST-FILE " n { on = 1; next }
                $0 == "VMTEST-EOF " n  { on = 0; next }
                on && /^VMTEST-LINE / { print substr($0, 13) }
            ' "$dir/channel.txt" | base64 -d >"$dir/guest/$name" 2>/dev/null ||
                echo "vm-test: note $dir/guest/$name arrived damaged"
        done
}
