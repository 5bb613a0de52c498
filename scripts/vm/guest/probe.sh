# shellcheck shell=sh
# The kernel driver alone: load the modules by hand and ask for the device ID.
load_ipmi() {
    modprobe ipmi_msghandler && modprobe ipmi_devintf && modprobe ipmi_si || return 1
    i=0
    while [ ! -c /dev/ipmi0 ] && [ $i -lt 50 ]; do sleep 0.2; i=$((i + 1)); done
    [ -c /dev/ipmi0 ]
}

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
