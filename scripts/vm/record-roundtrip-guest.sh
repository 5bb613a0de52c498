# Guest half of the "record" scenario, sourced by the guest's /init (uses its
# say, check, send_file, uptime_s, ipmi_modules and wait_for).
#
# Two switches served by simstorelib_tcmu on the kernel's SCSI target, the
# real IPMI driver in front of the host's simulated controller, and one run
# each of "lumoswitch -i" and "lumoswitch -u" recorded at both boundaries:
# the storage recorder as the package's ./libstorelibit.so in front of the
# SCSI generic library (kept in the package's root-owned real/ folder), the
# IPMI recorder preloaded in front of the kernel's device. Everything a
# replay on the host needs comes out on the channel as record-<story>-<file>.

REC_PKG=/opt/lumo-rec
REC_SW=/tmp/rec-sw
REC_CFG=/sys/kernel/config/target

record_switch() { # name dev
    /usr/bin/simstorelib_tcmu --topology /opt/lumo-sg/scsi/switches.conf --ctrl 0x05000000 \
        --dev "$2" --name "$1" --outdir "$REC_SW" 2>>"$REC_SW/handler-$1.err" &
}

# The two switches as /dev/sg0 and /dev/sg1 behind a TCM-User loopback host.
record_target_up() {
    mkdir -p "$REC_SW"
    for m in configfs sg target_core_mod target_core_user tcm_loop; do
        modprobe "$m" || return 1
    done
    mount -t configfs none /sys/kernel/config 2>/dev/null
    [ -d "$REC_CFG" ] || return 1
    for n in sw1 sw2; do
        mkdir -p "$REC_CFG/core/user_1/$n"
        echo -n "dev_config=lumo/$n" >"$REC_CFG/core/user_1/$n/control"
        echo -n "dev_size=1048576" >"$REC_CFG/core/user_1/$n/control"
        echo -n 1 >"$REC_CFG/core/user_1/$n/enable"
    done
    record_switch sw1 0
    record_switch sw2 1
    wwn=naa.5001405000000a01 # not $w: wait_for counts with it
    mkdir -p "$REC_CFG/loopback/$wwn/tpgt_1/lun/lun_0" "$REC_CFG/loopback/$wwn/tpgt_1/lun/lun_1"
    echo -n naa.5001405000000b01 >"$REC_CFG/loopback/$wwn/tpgt_1/nexus"
    # One LUN at a time, so that the first switch is sg0.
    ln -s "$REC_CFG/core/user_1/sw1" "$REC_CFG/loopback/$wwn/tpgt_1/lun/lun_0/port"
    wait_for 100 test -e /sys/class/scsi_generic/sg0 || return 1
    ln -s "$REC_CFG/core/user_1/sw2" "$REC_CFG/loopback/$wwn/tpgt_1/lun/lun_1/port"
    wait_for 100 test -e /sys/class/scsi_generic/sg1
}

# One recorded run in the package, from a package without logs of an
# earlier run; its transcript, report, logs and output sent.
record_story() { # story report args...
    story=$1; report=$2; shift 2
    (cd "$REC_PKG" && rm -f ./*.log zukdebuglog)
    t0=$(uptime_s)
    (cd "$REC_PKG" &&
        LUMOSWITCH_RECORD="/tmp/rec/$story.jsonl" \
        LUMOSWITCH_RECORD_LIBRARY="$REC_PKG/real/libstorelibit_sg.so" \
        LD_PRELOAD=/usr/lib/lumorecord/liblumorecord_ipmi.so \
        timeout 600 ./lumoswitch "$@" >"/tmp/rec/$story.out" 2>"/tmp/rec/$story.err")
    rc=$?
    check "record-$story-run" PASS "exit=$rc seconds=$(awk -v a="$t0" -v b="$(uptime_s)" 'BEGIN{printf "%.2f", b-a}')"
    echo "$rc" >"/tmp/rec/$story.exit"
    for f in "$story.jsonl" "$story.out" "$story.err" "$story.exit"; do
        send_file "record-$f" "/tmp/rec/$f"
    done
    send_file "record-$story-$report" "$REC_PKG/$report"
    for f in debug_inv.log debug_update.log SCAL_DBG.log vexipmi.log baseutils.log \
        vexipmi_internal.log; do
        send_file "record-$story-$f" "$REC_PKG/$f"
    done
}

scenario_record() {
    mkdir -p /tmp/rec
    chmod 0700 /tmp/rec
    if record_target_up; then
        check record-target PASS "sg0 and sg1 on the TCM-User loopback host"
    else
        check record-target FAIL "switches did not appear"
        dmesg | tail -30 >/tmp/dmesg.txt
        send_file record-dmesg.txt /tmp/dmesg.txt
        return
    fi
    before=$(ipmi_modules)
    check record-no-ipmi-before PASS "loaded: ${before:-none}"
    record_story inventory inventory.xml -i -d -o inventory.xml
    record_story update update.xml -u -d -o update.xml
    check record-modules-after PASS "loaded: $(ipmi_modules)"
    for i in 0 1; do
        send_file "record-received$i.bin" "$REC_SW/received_05000000_$i.bin"
    done
    for n in sw1 sw2; do send_file "record-handler-$n.err" "$REC_SW/handler-$n.err"; done
}
