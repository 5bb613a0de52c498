# shellcheck shell=sh
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
