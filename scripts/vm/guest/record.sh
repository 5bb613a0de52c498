# shellcheck shell=sh
# Two switches served by simstorelib_tcmu on the kernel's SCSI target, the
# real IPMI driver in front of the host's simulated controller, and one run
# each of "lumoswitch -i" and "lumoswitch -u" recorded at both boundaries:
# the storage recorder as the package's ./libstorelibit.so in front of the
# SCSI generic library (kept in the package's root-owned real/ folder), the
# IPMI recorder preloaded in front of the kernel's device. Everything a
# replay on the host needs comes out on the channel as record-<story>-<file>.
REC_PKG=/opt/lumo-rec

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
    if target_modules_up && switches_up /opt/lumo-sg/scsi/switches.conf; then
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
        send_file "record-received$i.bin" "$SW/received_05000000_$i.bin"
    done
    for n in sw1 sw2; do send_file "record-handler-$n.err" "$SW/handler-$n.err"; done
}
