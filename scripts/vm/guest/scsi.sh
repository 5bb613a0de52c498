# shellcheck shell=sh
# The storage half on the kernel's own SCSI stack. Two switches served by simstorelib_tcmu behind a TCM-User loopback host
# (host 0, /dev/sg0 and /dev/sg1), the program with the SCSI generic library
# as ./libstorelibit.so, then the kernel's scsi_debug as a second peer.
TOPO=/opt/lumo-sg/scsi

trace_lines() { # dev
    if [ -f "$SW/tcmu_trace_05000000_$1.log" ]; then wc -l <"$SW/tcmu_trace_05000000_$1.log"; else echo 0; fi
}
# The handler's trace from line $2 on, for the host to compare.
send_trace_since() { # dev first-line name
    tail -n +"$2" "$SW/tcmu_trace_05000000_$1.log" >"/tmp/$3" 2>/dev/null
    send_file "$3" "/tmp/$3"
}
run_update() { # name: one "lumoswitch -u" in the package, its report and traces sent
    m0=$(trace_lines 0); m1=$(trace_lines 1)
    t0=$(uptime_s)
    (cd /opt/lumo-sg && timeout 600 ./lumoswitch -u -d -o "/tmp/$1.xml" >"/tmp/$1.out" 2>&1)
    rc=$?
    check "$1-run" PASS "exit=$rc seconds=$(awk "BEGIN{print $(uptime_s)-$t0}")"
    send_file "$1.xml" "/tmp/$1.xml"
    send_file "$1-debug.log" /opt/lumo-sg/debug_update.log
    send_trace_since 0 $((m0 + 1)) "$1-trace0.log"
    send_trace_since 1 $((m1 + 1)) "$1-trace1.log"
    for i in 0 1; do
        cp "$SW/received_05000000_$i.bin" "/tmp/$1-received$i.bin" 2>/dev/null
        send_file "$1-received$i.bin" "/tmp/$1-received$i.bin"
    done
}
debug_host_up() {
    for h in /sys/bus/pseudo/drivers/scsi_debug/adapter0/host*; do
        [ -e "$h" ] && return 0
    done
    return 1
}
secs_since() { awk -v a="$1" -v b="$(uptime_s)" 'BEGIN{printf "%.2f", b-a}'; }

scenario_scsi() {
    target_modules_up
    # Before any switch exists: no controller, and the program finds nothing.
    /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so list >/tmp/list0.txt 2>&1
    (cd /opt/lumo-sg && timeout 300 ./lumoswitch -i -o /tmp/inventory-none.xml >/dev/null 2>&1)
    check no-switch PASS "$(tr '\n' ';' </tmp/list0.txt) exit=$?"
    send_file inventory-none.xml /tmp/inventory-none.xml
    [ -d "$CFG" ] || { check target-setup FAIL "no $CFG"; return; }
    if switches_up "$TOPO/switches.conf"; then
        check target-setup PASS "sg0 -> $(readlink /sys/class/scsi_generic/sg0/device | sed 's#.*/##')" \
            "sg1 -> $(readlink /sys/class/scsi_generic/sg1/device | sed 's#.*/##')" \
            "types $(cat /sys/class/scsi_generic/sg0/device/type) $(cat /sys/class/scsi_generic/sg1/device/type)"
    else
        check target-setup FAIL "no /dev/sg1 after the LUNs were linked"
        dmesg | tail -30 >/tmp/dmesg.txt; send_file dmesg-scsi.txt /tmp/dmesg.txt
        return
    fi
    # What the kernel itself read during the scan.
    send_file scan-trace0.log "$SW/tcmu_trace_05000000_0.log"

    /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so list >/tmp/list.txt 2>&1
    check backend-list PASS "$(tr '\n' ';' </tmp/list.txt)"
    # An unprivileged caller: the nodes are root's.
    /usr/bin/sg_probe --nobody /opt/lumo-sg/libstorelibit.so cmd 0x05000000 0 in 28 30 120180001c00 \
        >/tmp/nobody.txt 2>&1
    # shellcheck disable=SC2012 # the mode column of one device node
    check unprivileged PASS "$(cat /tmp/nobody.txt) node $(ls -l /dev/sg0 | cut -c1-10)"

    # The program's own READ BUFFER (allocation length 3C0000h, 60-byte
    # buffer) on its own, to see what comes back.
    /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so cmd 0x05000000 0 in 60 30 3c01e6e007003c000000 \
        >/tmp/rb.txt 2>&1
    check readbuffer-alloc PASS "$(cat /tmp/rb.txt)"
    # The same CDB with the CDB's own 3C0000h bytes as the transfer length
    # (a record that big), and through sg3-utils' raw sender with its largest
    # request (1 MiB) and with 60 bytes.
    /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so cmd 0x05000000 0 in 3932160 30 \
        3c01e6e007003c000000 >/tmp/rb.txt 2>&1
    /usr/bin/sg_probe - raw /dev/sg0 3932160 3c01e6e007003c000000 >/tmp/raw-full.txt 2>&1
    check readbuffer-full PASS "$(cat /tmp/rb.txt) $(cat /tmp/raw-full.txt)" \
        "host0 sg_tablesize=$(cat /sys/class/scsi_host/host0/sg_tablesize 2>/dev/null)" \
        "max_sectors=$(cat /sys/class/scsi_host/host0/max_sectors 2>/dev/null)"
    for len in 1048576 60; do
        sg_raw -r "$len" /dev/sg0 3c 01 e6 e0 07 00 3c 00 00 00 >/tmp/raw.txt 2>&1
        check "readbuffer-raw-$len" PASS "rc=$? $(grep -iE 'received|status|error|sense' /tmp/raw.txt | tr -s ' ' | tr '\n' ';')"
    done

    # Inventory, then the full update, with the clean topology.
    (cd /opt/lumo-sg && timeout 600 ./lumoswitch -i -o /tmp/inventory.xml >/tmp/inv.out 2>&1)
    check inventory-run PASS "exit=$?"
    send_file inventory.xml /tmp/inventory.xml
    run_update update-happy
    send_file debug_update.log /opt/lumo-sg/debug_update.log

    # Peers nobody here wrote: sg3-utils against the same switch.
    sg_inq /dev/sg0 >/tmp/sginq.txt 2>&1
    check sg-inq PASS "$(grep -E 'Peripheral device type|Product identification|Vendor identification' /tmp/sginq.txt | tr -s ' ' | tr '\n' ';')"
    sg_vpd -p sn /dev/sg0 >/tmp/sgvpd.txt 2>&1
    check sg-vpd PASS "$(tr -s ' ' </tmp/sgvpd.txt | tr '\n' ';')"
    head -c 100000 /opt/lumo-sg/payload/lumo_sw_1.4.8.bin >/tmp/small.bin
    if sg_write_buffer --bpw=32768 -m 2 -I /tmp/small.bin /dev/sg1 >/tmp/sgwb.txt 2>&1 &&
        cmp -s /tmp/small.bin "$SW/received_05000000_1.bin"; then
        check sg-write-buffer PASS "100000 bytes in 32 KiB chunks arrived intact"
    else
        check sg-write-buffer FAIL "$(tr '\n' ';' </tmp/sgwb.txt) $(ls -l "$SW")"
    fi

    # Benchmark: the same 16 MiB file to the same switch, through the library
    # as the program sends it and through sg_write_buffer.
    dd if=/dev/urandom of=/tmp/big.bin bs=1048576 count=16 2>/dev/null
    t0=$(uptime_s)
    /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so download 0x05000000 1 /tmp/big.bin >/tmp/bench.txt 2>&1
    brc=$?
    tb=$(secs_since "$t0")
    cmp -s /tmp/big.bin "$SW/received_05000000_1.bin" && bi=intact || bi=damaged
    t0=$(uptime_s)
    sg_write_buffer --bpw=32768 -m 2 -l 16777216 -I /tmp/big.bin /dev/sg1 >/tmp/bench-sg.txt 2>&1
    src=$?
    ts=$(secs_since "$t0")
    cmp -s /tmp/big.bin "$SW/received_05000000_1.bin" && si=intact || si=damaged
    rm -f /tmp/big.bin "$SW/received_05000000_1.bin"
    check benchmark PASS "backend=${tb}s rc=$brc image=$bi sg_write_buffer=${ts}s rc=$src image=$si" \
        "ratio=$(awk -v a="$tb" -v b="$ts" 'BEGIN{ if (b > 0) printf "%.2f", a/b; else print "n/a" }')" \
        "$(cat /tmp/bench.txt)"

    # Faults: switch 1 rejects chunk 2, switch 2 raises one unit attention.
    cp "$TOPO/faults.conf" /tmp/topology.conf
    handler_stop sw1; handler_stop sw2
    handler_start sw1 0 /tmp/topology.conf
    handler_start sw2 1 /tmp/topology.conf
    run_update update-faults

    # A switch that disappears mid-download: switch 2 holds its second chunk
    # until the kernel has been told to remove the device.
    handler_stop sw1; handler_stop sw2
    handler_start sw1 0 "$TOPO/switches.conf"
    handler_start sw2 1 "$TOPO/switches.conf" --hold-chunk 2 --hold-file /tmp/hold-sw2
    hctl=$(readlink /sys/class/scsi_generic/sg1/device | sed 's#.*/##')
    m1=$(trace_lines 1)
    t0=$(uptime_s)
    (cd /opt/lumo-sg && timeout 600 ./lumoswitch -u -d -o /tmp/update-vanish.xml \
        >/tmp/update-vanish.out 2>&1) &
    ppid=$!
    if wait_for 1500 test -e /tmp/hold-sw2; then
        echo 1 >"/sys/class/scsi_device/$hctl/device/delete" &
        dpid=$!
        sleep 2
        rm -f /tmp/hold-sw2
        wait "$dpid"
        wait "$ppid"
        rc=$?
        check update-vanish-run PASS "exit=$rc seconds=$(secs_since "$t0") removed=$hctl" \
            "sg1 $( [ -e /sys/class/scsi_generic/sg1 ] && echo present || echo gone)"
    else
        rm -f /tmp/hold-sw2
        wait "$ppid"
        check update-vanish-run FAIL "switch 2 never reached chunk 2"
    fi
    send_file update-vanish.xml /tmp/update-vanish.xml
    send_file update-vanish-debug.log /opt/lumo-sg/debug_update.log
    send_trace_since 1 $((m1 + 1)) update-vanish-trace1.log
    handler_stop sw1; handler_stop sw2

    # The kernel's scsi_debug as a peer: type 13, refuses READ BUFFER.
    modprobe scsi_debug ptype=13 add_host=1 num_tgts=2 max_luns=1 inq_vendor=SIMDBG \
        inq_product=KERNEL-PEER inq_rev=0001
    wait_for 100 debug_host_up
    sleep 1
    /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so list >/tmp/list2.txt 2>&1
    check debug-list PASS "$(tr '\n' ';' </tmp/list2.txt)"
    dctrl=$(awk '/type=13/ && $1 != "ctrl=0x05000000" { sub("ctrl=", "", $1); print $1; exit }' /tmp/list2.txt)
    ddev=$(awk -v c="ctrl=$dctrl" '$1 == c && /type=13/ { sub("dev=", "", $2); print $2; exit }' /tmp/list2.txt)
    dother=$(awk -v c="ctrl=$dctrl" -v d="dev=$ddev" '$1 == c && $2 != d { sub("dev=", "", $2); print $2; exit }' /tmp/list2.txt)
    if [ -z "$dctrl" ]; then
        check debug-peer FAIL "no scsi_debug controller listed"
    else
        # Its microcode-changed unit attention (WRITE BUFFER mode 05h raises
        # one): seen by a plain sender on one device; on the other the
        # library's READ BUFFER below meets it and resends.
        L=/opt/lumo-sg/libstorelibit.so
        for d in "$dother" "$ddev"; do
            /usr/bin/sg_probe $L cmd "$dctrl" "$d" none 0 30 3b050000000000000000 >>/tmp/dmc.txt 2>&1
        done
        # (A command it knows: it refuses READ BUFFER before it looks at attentions.)
        /usr/bin/sg_probe - raw "/dev/sg$dother" 255 1a003f00ff00 >/tmp/dua.txt 2>&1
        check debug-attention PASS "sg$dother $(cat /tmp/dua.txt) after $(tr '\n' ';' </tmp/dmc.txt)"
        /usr/bin/sg_probe $L cmd "$dctrl" "$ddev" in 255 30 1a003f00ff00 >/tmp/dual.txt 2>&1
        check debug-attention-library PASS "$(cat /tmp/dual.txt)"
        /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so cmd "$dctrl" "$ddev" in 28 30 120180001c00 \
            >/tmp/dvpd.txt 2>&1
        check debug-vpd PASS "$(cat /tmp/dvpd.txt)"
        /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so cmd "$dctrl" "$ddev" in 60 30 3c01e6e007003c000000 \
            >/tmp/drb.txt 2>&1
        check debug-readbuffer PASS "$(cat /tmp/drb.txt)"
        # Every command ignored: the kernel's timeout, then its error handling.
        D=/sys/bus/pseudo/drivers/scsi_debug
        echo 1 >$D/statistics
        echo 1 >$D/every_nth
        echo 4 >$D/opts
        (sleep 2; echo 0 >$D/opts) &
        /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so cmd "$dctrl" "$ddev" in 28 5 120180001c00 \
            >/tmp/dto.txt 2>&1
        check debug-timeout PASS "$(cat /tmp/dto.txt)"
        echo 0 >$D/opts
        echo 0 >$D/every_nth
        # Still usable after the kernel's error handling.
        /usr/bin/sg_probe /opt/lumo-sg/libstorelibit.so cmd "$dctrl" "$ddev" in 60 30 3c01e6e007003c000000 \
            >/tmp/drb2.txt 2>&1
        check debug-after PASS "$(cat /tmp/drb2.txt)"
    fi
    dmesg | grep -iE 'scsi|sd |sg|target|tcm|uio' | tail -60 >/tmp/dmesg.txt
    send_file dmesg-scsi.txt /tmp/dmesg.txt
    for n in sw1 sw2; do send_file "handler-$n.err" "$SW/handler-$n.err"; done
}
