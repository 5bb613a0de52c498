# shellcheck shell=bash
# scsi: the storage half on the kernel's SCSI stack, with the SCSI generic
# library as the package's ./libstorelibit.so.

# The same update under the simulated storage library in the sandbox, with
# the same topology, so the CDBs each switch saw can be compared.
sim_storelib_run() { # name topology controller-script
    local dir="$VM_RESULTS/scsi/sim-$1"
    rm -rf "$dir"
    mkdir -p "$dir/pkg"
    cp "$VM_BUILD/bin/lumoswitch" "$VM_BUILD/lib/libstorelibit.so" \
        "$VM_ROOT/tests/vm/package/package.xml" "$dir/pkg/"
    cp "$2" "$dir/pkg/storelib_topology.conf"
    sandbox_update "$dir" "$3"
}

# The CDBs of a trace, one per line: the bytes after "cdb=".
cdbs_of() { # trace [dev]
    awk -v dev="${2:-}" '
        dev != "" && index($0, " dev=" dev " ") == 0 { next }
        { on = 0; out = ""
          for (i = 1; i <= NF; i++) {
              if ($i ~ /^cdb=/) { on = 1; out = substr($i, 5); continue }
              if (on && $i ~ /^[0-9a-f][0-9a-f]$/) { out = out " " $i } else if (on) { break }
          }
          if (out != "") print out }' "$1" 2>/dev/null
}

compare_cdbs() { # label handler-trace sim-trace dev
    local d="$VM_RESULTS/scsi"
    # The handler also sees what the library resent after a unit attention;
    # the simulated library keeps that inside.
    if diff -u <(grep -v 'sense=6/' "$2" 2>/dev/null | cdbs_of /dev/stdin) \
        <(cdbs_of "$3" "$4") >"$d/compare-$1.diff"; then
        pass "scsi: $1: CDBs the switch saw identical to the simulated library's trace" \
            "($(cdbs_of "$3" "$4" | wc -l) commands)"
    else
        fail "scsi: $1: CDBs differ (kernel target -, simulated library +):"
        sed 's/^/    /' "$d/compare-$1.diff" | head -30
    fi
}

judge_scsi() { # controller-script
    local script="$1" d="$VM_RESULTS/scsi" g="$VM_RESULTS/scsi/guest" c
    for c in no-switch target-setup backend-list unprivileged readbuffer-alloc readbuffer-full readbuffer-raw-1048576 \
        readbuffer-raw-60 \
        inventory-run update-happy-run sg-inq \
        sg-vpd sg-write-buffer benchmark update-faults-run update-vanish-run debug-list \
        debug-attention debug-attention-library debug-vpd debug-readbuffer debug-timeout debug-after; do
        guest_check scsi "$c" || true
    done
    if [[ "$(guest_detail scsi no-switch)" == "controllers=0; exit=0" ]] &&
        [[ "$(report_count "$g/inventory-none.xml" "<Device")" == 0 ]]; then
        pass "scsi: no sg device of a switch type: no controller, an inventory without devices"
    else
        fail "scsi: before the switches: $(guest_detail scsi no-switch)"
    fi
    local list
    list=$(guest_detail scsi backend-list)
    verdict "scsi: the library lists both switches behind controller 0x05000000" \
        "scsi: library listing: $list" \
        like "$list" '*ctrl=0x05000000 dev=0 type=13*ctrl=0x05000000 dev=1 type=13*'
    verdict "scsi: an unprivileged caller gets the open-refused result, nothing sent" \
        "scsi: unprivileged caller: $(guest_detail scsi unprivileged)" \
        like "$(guest_detail scsi unprivileged)" 'rc=0x8106 *'
    verdict "scsi: program's READ BUFFER (allocation 3C0000h, 60-byte buffer) answered with 16 bytes" \
        "scsi: READ BUFFER: $(guest_detail scsi readbuffer-alloc)" \
        like "$(guest_detail scsi readbuffer-alloc)" 'rc=0x0 status=0 len=16 *'
    [[ "$(guest_detail scsi inventory-run)" == "exit=0" ]] || fail "scsi: inventory run failed"
    local n
    n=$(report_count "$g/inventory.xml" 'version="1.2.10.0"')
    verdict "scsi: inventory lists both switches with revision 1.2.10.0" \
        "scsi: inventory has $n switches with revision 1.2.10.0" \
        test "$n" = 2

    # The whole update on the kernel's drivers for both halves.
    local payload="$d/payload"
    make_payload "$payload"
    [[ "$(guest_detail scsi update-happy-run)" == exit=0* ]] ||
        fail "scsi: update run: $(guest_detail scsi update-happy-run)"
    n=$(report_count "$g/update-happy.xml" "The firmware update was successful. The new firmware will be activated on LUMO Switch upon power cycle of the device or system. Rebooting")
    verdict "scsi: update report: both switches updated, power cycle staged" \
        "scsi: update report has $n staged successes" \
        test "$n" = 2
    local i
    for i in 0 1; do
        verdict "scsi: switch $((i + 1)) received the payload byte for byte" \
            "scsi: switch $((i + 1)) image differs from the payload" \
            cmp -s "$payload/lumo_sw_1.4.8.bin" "$g/update-happy-received$i.bin"
    done
    sim_storelib_run happy "$VM_ROOT/tests/vm/scsi/switches.conf" "$script"
    for i in 0 1; do
        compare_cdbs "happy-switch$((i + 1))" "$g/update-happy-trace$i.log" \
            "$d/sim-happy/pkg/storelib_trace.log" "$i"
    done
    [[ "$(guest_detail scsi sg-inq)" == *"LUMO PCIe Switch"* ]] ||
        fail "scsi: sg_inq did not show the product text"
    [[ "$(guest_detail scsi sg-vpd)" == *"PX1620SW1"* ]] ||
        fail "scsi: sg_vpd did not show the serial"
    local bench
    bench=$(guest_detail scsi benchmark)
    verdict "scsi: 16 MiB download benchmark: $bench" \
        "scsi: benchmark: $bench" \
        like "$bench" '*rc=0 image=intact sg_write_buffer=*rc=0 image=intact*'

    # Faults.
    n=$(report_count "$g/update-faults.xml" "ERROR: Failed to Update Firmware")
    verdict "scsi: CHECK CONDITION at chunk 2 reported as a failed update" \
        "scsi: fault report has $n failed updates" \
        test "$n" = 1
    n=$(report_count "$g/update-faults.xml" "Rebooting the system will perform")
    verdict "scsi: only the switch whose image arrived gets the power cycle" \
        "scsi: fault report has $n staged successes" \
        test "$n" = 1
    verdict "scsi: switch 1 kept only the chunk before the rejected one" \
        "scsi: switch 1 image after the rejected chunk is $(stat -c %s "$g/update-faults-received0.bin" 2>/dev/null) bytes" \
        cmp -s <(head -c 32768 "$payload/lumo_sw_1.4.8.bin") "$g/update-faults-received0.bin"
    verdict "scsi: switch 2 image intact after the unit attention" \
        "scsi: switch 2 image damaged after the unit attention" \
        cmp -s "$payload/lumo_sw_1.4.8.bin" "$g/update-faults-received1.bin"
    if awk '/sense=6\/29\/01/ { ua = $1; next } ua != "" { exit !($1 == ua) } END { if (ua == "") exit 1 }' \
        "$g/update-faults-trace1.log" 2>/dev/null; then
        pass "scsi: unit attention on chunk 1 answered by resending the same CDB"
    else
        fail "scsi: no resend after the unit attention on switch 2"
    fi
    sim_storelib_run faults "$VM_ROOT/tests/vm/scsi/faults.conf" "$script"
    for i in 0 1; do
        compare_cdbs "faults-switch$((i + 1))" "$g/update-faults-trace$i.log" \
            "$d/sim-faults/pkg/storelib_trace.log" "$i"
    done
    verdict "scsi: the removed switch's next chunk got the library's device-gone result (8105)" \
        "scsi: no device-gone result in the program's log after the removal" \
        grep -qs "error from storelibIT, result = 33029" "$g/update-vanish-debug.log"
    n=$(report_count "$g/update-vanish.xml" "ERROR: Failed to Update Firmware")
    verdict "scsi: switch removed mid-download reported as failed ($(guest_detail scsi update-vanish-run))" \
        "scsi: vanish report has $n failed updates" \
        test "$n" = 1

    # The kernel's own peer.
    local dl
    dl=$(guest_detail scsi debug-list)
    verdict "scsi: scsi_debug's type-13 devices listed behind their own controller" \
        "scsi: scsi_debug devices not listed: $dl" \
        matches "$dl" 'ctrl=0x0500000[1-9] dev=[0-9]+ type=13'
    [[ "$(guest_detail scsi debug-vpd)" == "rc=0x0 status=0 "* ]] ||
        fail "scsi: scsi_debug VPD page: $(guest_detail scsi debug-vpd)"
    verdict "scsi: scsi_debug raises microcode changed (3Fh/16h) after WRITE BUFFER mode 05h" \
        "scsi: scsi_debug attention: $(guest_detail scsi debug-attention)" \
        matches "$(guest_detail scsi debug-attention)" 'sense=70..06.{18}3f16'
    verdict "scsi: the library resends through scsi_debug's attention: MODE SENSE answered GOOD" \
        "scsi: library after scsi_debug's attention: $(guest_detail scsi debug-attention-library)" \
        like "$(guest_detail scsi debug-attention-library)" 'rc=0x0 status=0 *'
    verdict "scsi: scsi_debug refuses READ BUFFER with CHECK CONDITION, ILLEGAL REQUEST" \
        "scsi: scsi_debug READ BUFFER: $(guest_detail scsi debug-readbuffer)" \
        matches "$(guest_detail scsi debug-readbuffer)" '^rc=0x0 status=2 .*sense=70..05'
    verdict "scsi: ignored command is a library failure: $(guest_detail scsi debug-timeout)" \
        "scsi: scsi_debug timeout: $(guest_detail scsi debug-timeout)" \
        matches "$(guest_detail scsi debug-timeout)" '^rc=0x810[79]'
}
