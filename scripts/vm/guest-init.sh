#!/bin/sh
# /init of the test guest. Runs one scenario, named on the kernel command
# line as lumo.scenario=NAME, and reports on the second serial port (ttyS1):
#   VMTEST-BOOTED <uptime>          init reached
#   VMTEST-CHECK <name> PASS|FAIL <detail>
#   VMTEST-FILE <name> / VMTEST-LINE <base64> / VMTEST-EOF <name>   a guest file
#   VMTEST-DONE <uptime>            scenario finished
# The host judges the checks; the guest powers off in every case.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp && mount -t tmpfs tmpfs /tmp

OUT=/dev/ttyS1
# Raw, so lines arrive as written (no carriage returns added).
stty -F "$OUT" raw -echo 2>/dev/null
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

scenario=$(sed -n 's/.*lumo\.scenario=\([^ ]*\).*/\1/p' /proc/cmdline)
say "VMTEST-BOOTED $(uptime_s) $(uname -r) scenario=$scenario"

load_ipmi() {
    modprobe ipmi_msghandler && modprobe ipmi_devintf && modprobe ipmi_si || return 1
    i=0
    while [ ! -c /dev/ipmi0 ] && [ $i -lt 50 ]; do sleep 0.2; i=$((i + 1)); done
    [ -c /dev/ipmi0 ]
}

# The kernel driver alone: load the modules by hand and ask for the device ID.
scenario_probe() {
    expect modules-loaded "modprobe of ipmi_msghandler, ipmi_devintf, ipmi_si" load_ipmi
    if timeout 30 /usr/bin/ipmi_probe >/tmp/probe.out 2>&1; then
        check get-device-id PASS "$(cat /tmp/probe.out)"
    else
        check get-device-id FAIL "$(cat /tmp/probe.out)"
    fi
    dmesg | grep -i ipmi >/tmp/dmesg-ipmi.txt
    send_file dmesg-ipmi /tmp/dmesg-ipmi.txt
    expect modules-unload "rmmod after the device was closed" \
        rmmod ipmi_si ipmi_devintf ipmi_msghandler
}

# The program itself, started with no IPMI module loaded; the scenario name
# selects the controller script on the host side only.
scenario_program() {
    pkg=/opt/lumo
    before=$(ipmi_modules)
    if [ -z "$before" ]; then
        check no-modules-before PASS "no IPMI module loaded"
    else
        check no-modules-before FAIL "loaded: $before"
    fi
    cd "$pkg" || { check program-run FAIL "no $pkg"; return; }
    t0=$(uptime_s)
    timeout 400 ./lumoswitch -u -d -o /tmp/report.xml >/tmp/stdout.txt 2>/tmp/stderr.txt
    rc=$?
    t1=$(uptime_s)
    check program-run PASS "exit=$rc seconds=$(awk "BEGIN{print $t1-$t0}")"
    after=$(ipmi_modules)
    check modules-after PASS "loaded: $after"
    send_file report.xml /tmp/report.xml
    send_file stdout.txt /tmp/stdout.txt
    send_file stderr.txt /tmp/stderr.txt
    for f in vexipmi_internal.log SCAL_DBG.log debug_update.log; do
        send_file "$f" "$pkg/$f"
    done
    # With the program gone nothing may still hold the device.
    if [ -n "$after" ]; then
        expect modules-unload "rmmod after the program ended" \
            rmmod ipmi_si ipmi_devintf ipmi_msghandler
    fi
}

case "$scenario" in
probe) scenario_probe ;;
"") check scenario FAIL "no lumo.scenario on the command line" ;;
*) scenario_program ;;
esac
finish
