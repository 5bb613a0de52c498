# shellcheck shell=bash
# probe: the kernel driver alone.
judge_probe() { # controller-script (none)
    guest_check probe modules-loaded || true
    guest_check probe get-device-id || true
    guest_check probe modules-unload || true
    if grep -q 'op=GetDeviceID' "$VM_RESULTS/probe/requests.log" 2>/dev/null; then
        pass "probe: controller logged the guest's Get Device ID"
    else
        fail "probe: controller request log has no Get Device ID"
    fi
}
