# shellcheck shell=bash
# silent: one state-flag request unanswered; the driver's C3 and the resend.
judge_silent() { # controller-script
    judge_program silent
    local n
    n=$(grep -c 'op=setStateFlagCmd' "$VM_RESULTS/silent/requests.log" 2>/dev/null || true)
    verdict "silent: state-flag request sent again after the silent one" \
        "silent: $n state-flag requests, expected 2" \
        test "$n" = 2
    verdict "silent: the library saw completion code C3 from the driver" \
        "silent: no completion code C3 in the IPMI library log" \
        grep -qs 'return code as c3' "$VM_RESULTS/silent/guest/vexipmi_internal.log"
    compare_with_preload silent "$1"
}
