# shellcheck shell=bash
# crash: runs killed on the kernel's IPMI driver, repaired by the next run.
judge_crash() { # controller-script
    local dir="$VM_RESULTS/crash" g="$VM_RESULTS/crash/guest" tag n
    local rules="removed rule files /etc/udev/rules.d/98-secupdusb.rules, /etc/udev/rules.d/00-secupd-vantor.rules"
    local modules="; unloaded module ipmi_si; unloaded module ipmi_devintf; unloaded module ipmi_msghandler"
    local flag="; the power-cycle flag it set stays set (the power cycle it staged is still wanted)"
    local -A said=(
        [rules]="$rules$modules"
        [open]="$rules$modules; its repository session 0x1234 is ended when this run reaches the controller"
        [flag]="$rules; its repository session 0x1236 is ended when this run reaches the controller$flag"
    )
    for tag in rules open flag; do
        guest_check crash "$tag-held" || true
        verdict "crash: $tag: the first run died by SIGKILL" \
            "crash: $tag: first run $(guest_detail crash "$tag-killed")" \
            like "$(guest_detail crash "$tag-killed")" "exit=137 *"
        local pid
        pid=$(guest_detail crash "$tag-killed" | sed -n 's/.*pid=\([0-9]*\).*/\1/p' || true)
        local err
        err=$(sed -E 's/ started at [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}: / started at T: /' \
            "$g/$tag-2.err" 2>/dev/null || true)
        verdict "crash: $tag: the second run says what it repaired" \
            "crash: $tag: the second run said: ${err:-nothing}" \
            test "$err" = "lumoswitch: recovered from an interrupted run of process $pid started at T: ${said[$tag]}"
        for n in 2 3; do
            verdict "crash: $tag: run $n ended with status 0" "crash: $tag: run $n $(guest_detail crash "$tag-$n-run")" \
                test "$(guest_detail crash "$tag-$n-run")" = "exit=0"
            verdict "crash: $tag: no rule file left after run $n" \
                "crash: $tag: rule files left after run $n: $(tr '\n' ' ' <"$g/$tag-$n.rules" 2>/dev/null)" \
                test -e "$g/$tag-$n.rules" -a ! -s "$g/$tag-$n.rules"
            verdict "crash: $tag: no journal left after run $n" "crash: $tag: a journal is left after run $n" \
                test ! -e "$g/$tag-$n.journal"
        done
        verdict "crash: $tag: the third run finds nothing to recover" \
            "crash: $tag: the third run said: $(cat "$g/$tag-3.err" 2>/dev/null)" \
            test -e "$g/$tag-3.err" -a ! -s "$g/$tag-3.err"
    done
    # The kernel's modules as before the first run: loaded by it, unloaded by
    # the recovery once its device was closed.
    verdict "crash: rules: no IPMI module loaded after the second run" \
        "crash: rules: loaded after the second run: $(cat "$g/rules-2.modules" 2>/dev/null)" \
        test -e "$g/rules-2.modules" -a -z "$(tr -d ' \n' <"$g/rules-2.modules" 2>/dev/null)"
    # The killed runs' sessions were ended by their handles before the next
    # run opened its own; none is left open.
    local log="$dir/requests.log" h
    for h in 34,12 36,12; do
        verdict "crash: session ${h/,/ } of a killed run ended by its handle" \
            "crash: no answered EndCORVELSession for handle ${h/,/ }" \
            grep -qs "op=EndCORVELSession req=01,$h,00,00 cc=00 " "$log"
    done
    verdict "crash: the controller holds no open session" "crash: controller state: $(grep '^session=' "$dir/state")" \
        grep -qs '^session=closed' "$dir/state"
    local opened ended
    opened=$(sed -n 's/^sessions_opened=//p' "$dir/state" 2>/dev/null || true)
    ended=$(sed -n 's/^sessions_ended=//p' "$dir/state" 2>/dev/null || true)
    verdict "crash: every session opened was ended ($opened)" "crash: $opened sessions opened, $ended ended" \
        test -n "$opened" -a "$opened" = "$ended"
    verdict "crash: the power cycle is staged (flag 5)" "crash: controller $(grep '^flag=' "$dir/state")" \
        grep -qs '^flag=0x05' "$dir/state"
}
