# shellcheck shell=sh
# What every guest part uses: the report on the second serial port ($OUT,
# set by /init) and the files sent along it.
uptime_s() { cut -d' ' -f1 /proc/uptime; }
say() { echo "$*" >"$OUT"; echo "vmtest: $*"; }
check() { # name PASS|FAIL detail...
    n=$1; r=$2; shift 2
    say "VMTEST-CHECK $n $r $*"
}
expect() { # name detail command...: PASS when the command succeeds
    n=$1; d=$2; shift 2
    if "$@"; then check "$n" PASS "$d"; else check "$n" FAIL "$d"; fi
}
# Files travel base64-encoded, so the host gets them byte for byte.
send_file() { # name path
    if [ -f "$2" ]; then
        say "VMTEST-FILE $1"
        base64 "$2" | sed 's/^/VMTEST-LINE /' >"$OUT"
        say "VMTEST-EOF $1"
    fi
}
ipmi_modules() { grep -o '^ipmi_[a-z]*' /proc/modules | sort | tr '\n' ' '; }
finish() {
    say "VMTEST-DONE $(uptime_s)"
    sync
    poweroff -f
}
wait_for() { # tries(0.2 s each) test...
    w=$1; shift
    while ! "$@" && [ "$w" -gt 0 ]; do sleep 0.2; w=$((w - 1)); done
    "$@"
}

# --- two switches on the kernel's SCSI target (scsi, record) ---------------------
CFG=/sys/kernel/config/target
SW=/tmp/sw # the switch handlers' traces and received images
handler_start() { # name dev topology [extra args]
    n=$1; d=$2; t=$3; shift 3
    mkdir -p "$SW"
    /usr/bin/simstorelib_tcmu --topology "$t" --ctrl 0x05000000 --dev "$d" --name "$n" \
        --outdir "$SW" "$@" 2>>"$SW/handler-$n.err" &
    eval "pid_$n=$!"
}
handler_stop() { # name
    p=""
    eval "p=\$pid_$1"
    kill "$p" 2>/dev/null
    wait "$p" 2>/dev/null
}
# The target's modules and configfs; a module that does not load is reported.
target_modules_up() {
    ok=0
    for m in configfs sg target_core_mod target_core_user tcm_loop; do
        modprobe "$m" || { check modules-scsi FAIL "modprobe $m"; ok=1; }
    done
    mount -t configfs none /sys/kernel/config 2>/dev/null
    return $ok
}
# Two TCM-User devices served from the topology, linked to a loopback SCSI
# host one LUN at a time, so that the first switch is /dev/sg0 and the second
# /dev/sg1. Fails when sg1 does not appear.
switches_up() { # topology
    [ -d "$CFG" ] || return 1
    for n in sw1 sw2; do
        mkdir -p "$CFG/core/user_1/$n"
        printf %s "dev_config=lumo/$n" >"$CFG/core/user_1/$n/control"
        printf %s "dev_size=1048576" >"$CFG/core/user_1/$n/control"
        printf %s 1 >"$CFG/core/user_1/$n/enable"
    done
    handler_start sw1 0 "$1"
    handler_start sw2 1 "$1"
    W=naa.5001405000000a01
    mkdir -p "$CFG/loopback/$W/tpgt_1/lun/lun_0" "$CFG/loopback/$W/tpgt_1/lun/lun_1"
    printf %s naa.5001405000000b01 >"$CFG/loopback/$W/tpgt_1/nexus"
    ln -s "$CFG/core/user_1/sw1" "$CFG/loopback/$W/tpgt_1/lun/lun_0/port"
    wait_for 100 test -e /sys/class/scsi_generic/sg0
    ln -s "$CFG/core/user_1/sw2" "$CFG/loopback/$W/tpgt_1/lun/lun_1/port"
    wait_for 100 test -e /sys/class/scsi_generic/sg1
}
