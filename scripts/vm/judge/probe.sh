# shellcheck shell=bash
# probe: the kernel driver alone.
judge_probe() { # controller-script (none)
    guest_check probe modules-loaded || true
    guest_check probe get-device-id || true
    guest_check probe modules-unload || true
    verdict "probe: controller logged the guest's Get Device ID" \
        "probe: controller request log has no Get Device ID" \
        grep -qs 'op=GetDeviceID' "$VM_RESULTS/probe/requests.log"
}
