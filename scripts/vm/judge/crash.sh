# shellcheck shell=bash
# crash: the kill matrix on the kernel's IPMI driver, each killed run
# repaired by the next one.

# What the second run after each point says it repaired (after "started at
# T: "); empty: it says nothing, there was nothing to repair.
crash_said() { # point
    local rules="removed rule files /etc/udev/rules.d/98-secupdusb.rules, /etc/udev/rules.d/00-secupd-vantor.rules"
    local modules="; unloaded module ipmi_si; unloaded module ipmi_devintf; unloaded module ipmi_msghandler"
    local ended=" is ended when this run reaches the controller"
    local kept="; the power-cycle flag it set stays set (the power cycle it staged is still wanted)"
    case "$1" in
    rules | opening) echo "$rules$modules" ;;
    open) echo "$rules$modules; its repository session 0x1235$ended" ;;
    download) echo "" ;;
    poll) echo "$rules$modules; its repository session 0x1238$ended; its request for the power-cycle flag was not confirmed (the flag is as the controller holds it)" ;;
    flag) echo "$rules$modules; its repository session 0x123a$ended$kept" ;;
    report) echo "removed report temporary file /tmp/.report-1.xml.XXXXXX$modules$kept" ;;
    esac
}

judge_crash() { # controller-script
    local dir="$VM_RESULTS/crash" g="$VM_RESULTS/crash/guest" tag n second
    local success='<SPStatus result = "true" ><Message id="0" >The firmware update was successful.'
    for tag in rules opening open download poll flag report; do
        case "$tag" in rules | report) second=-i ;; *) second=-u ;; esac
        guest_check crash "$tag-held" || true
        verdict "crash: $tag: the first run died by SIGKILL" \
            "crash: $tag: first run $(guest_detail crash "$tag-killed")" \
            like "$(guest_detail crash "$tag-killed")" "exit=137 *"
        verdict "crash: $tag: the first run started with no IPMI module loaded" \
            "crash: $tag: loaded before the first run: $(cat "$g/$tag-0.modules" 2>/dev/null)" \
            test -e "$g/$tag-0.modules" -a -z "$(tr -d ' \n' <"$g/$tag-0.modules" 2>/dev/null)"
        local said expected pid err
        said=$(crash_said "$tag")
        if [[ -n "$said" ]]; then
            verdict "crash: $tag: the killed run left its journal" \
                "crash: $tag: the killed run left no journal" test -s "$g/$tag-1.journal"
        else
            verdict "crash: $tag: the killed run had nothing to note yet" \
                "crash: $tag: the killed run left a journal" test ! -e "$g/$tag-1.journal"
        fi
        pid=$(guest_detail crash "$tag-killed" | sed -n 's/.*pid=\([0-9]*\).*/\1/p' || true)
        expected=""
        [[ -n "$said" ]] &&
            expected="lumoswitch: recovered from an interrupted run of process $pid started at T: $said"
        err=$(sed -E -e 's/ started at [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}: / started at T: /' \
            -e 's#/tmp/\.report-1\.xml\.[A-Za-z0-9]{6}#/tmp/.report-1.xml.XXXXXX#' \
            "$g/$tag-2.err" 2>/dev/null || true)
        verdict "crash: $tag: the second run ($second) says what it repaired" \
            "crash: $tag: the second run ($second) said: ${err:-nothing}" \
            test -e "$g/$tag-2.err" -a "$err" = "$expected"
        for n in 2 3; do
            verdict "crash: $tag: run $n ended with status 0" "crash: $tag: run $n $(guest_detail crash "$tag-$n-run")" \
                test "$(guest_detail crash "$tag-$n-run")" = "exit=0"
            verdict "crash: $tag: no rule file left after run $n" \
                "crash: $tag: rule files left after run $n: $(tr '\n' ' ' <"$g/$tag-$n.rules" 2>/dev/null)" \
                test -e "$g/$tag-$n.rules" -a ! -s "$g/$tag-$n.rules"
            verdict "crash: $tag: no journal left after run $n" "crash: $tag: a journal is left after run $n" \
                test ! -e "$g/$tag-$n.journal"
        done
        verdict "crash: $tag: no report temporary file left after run 2" \
            "crash: $tag: left after run 2: $(tr '\n' ' ' <"$g/$tag-2.leftovers" 2>/dev/null)" \
            test -e "$g/$tag-2.leftovers" -a ! -s "$g/$tag-2.leftovers"
        # A second run that takes inventory ends with the modules as they
        # were before the killed run (an update's own teardown unloads them
        # while its device is open, which the kernel refuses).
        if [[ "$second" == -i ]]; then
            verdict "crash: $tag: no IPMI module loaded after the second run" \
                "crash: $tag: loaded after the second run: $(cat "$g/$tag-2.modules" 2>/dev/null)" \
                test -e "$g/$tag-2.modules" -a -z "$(tr -d ' \n' <"$g/$tag-2.modules" 2>/dev/null)"
            verdict "crash: $tag: the second run's report lists both switches" \
                "crash: $tag: the second run's report lists $(report_count "$g/$tag-2.xml" '<Device ') switches" \
                test "$(report_count "$g/$tag-2.xml" '<Device ')" = 2
        else
            verdict "crash: $tag: the second run's report has both switches updated" \
                "crash: $tag: the second run's report has $(report_count "$g/$tag-2.xml" "$success") switches updated" \
                test "$(report_count "$g/$tag-2.xml" "$success")" = 2
            verdict "crash: $tag: the second run's report asks for the reboot" \
                "crash: $tag: the second run's report does not ask for the reboot" \
                grep -qs '<RebootRequired>1</RebootRequired>' "$g/$tag-2.xml"
        fi
        verdict "crash: $tag: the third run finds nothing to recover" \
            "crash: $tag: the third run said: $(cat "$g/$tag-3.err" 2>/dev/null)" \
            test -e "$g/$tag-3.err" -a ! -s "$g/$tag-3.err"
    done

    local log="$dir/requests.log"
    # Each killed run died in the request it was left waiting on: what the
    # controller heard next is the next run starting (or the same request
    # of the killed run, sent again after the driver gave up on it).
    local what
    for what in "op=AccessState " "op=BeginCORVELSession " "op=Getpartitionindexinfo req=03,35,12," \
        "req=0a,38,12," "op=EndCORVELSession req=01,3a,12,"; do
        verdict "crash: a killed run was left waiting on: $what" \
            "crash: no unanswered request $what, or the run went on past it" \
            crash_died_waiting "$log" "$what"
    done
    # The killed runs' sessions were ended by their handles before the next
    # run opened its own; none is left open.
    local h next
    for h in 35,12:36,12 38,12:39,12 3a,12:3b,12; do
        next=${h#*:}
        h=${h%:*}
        verdict "crash: session ${h/,/ } of a killed run ended by its handle before session ${next/,/ } opened" \
            "crash: session ${h/,/ } not ended (answered 00) before session ${next/,/ } opened" \
            crash_in_order "$log" "op=EndCORVELSession req=01,$h,00,00 cc=00 " "rsp=$next,00,00,00,00"
    done
    verdict "crash: the controller holds no open session" "crash: controller state: $(grep '^session=' "$dir/state")" \
        grep -qs '^session=closed' "$dir/state"
    local opened ended
    opened=$(sed -n 's/^sessions_opened=//p' "$dir/state" 2>/dev/null || true)
    ended=$(sed -n 's/^sessions_ended=//p' "$dir/state" 2>/dev/null || true)
    verdict "crash: every session opened was ended ($opened)" "crash: $opened sessions opened, $ended ended" \
        test -n "$opened" -a "$opened" = "$ended"
    # The flag: only ever asked to stage the power cycle, never cleared by a
    # recovery, and staged at the end.
    verdict "crash: every state-flag request asks for flag 5" \
        "crash: state-flag requests: $(grep 'op=setStateFlagCmd' "$log" | grep -v ',00,05 ' | head -n1)" \
        test -z "$(grep 'op=setStateFlagCmd' "$log" 2>/dev/null | grep -v ',00,05 ')"
    verdict "crash: the power cycle is staged (flag 5)" "crash: controller $(grep '^flag=' "$dir/state")" \
        grep -qs '^flag=0x05' "$dir/state"
}

# The first NetFn 30 request after the first unanswered one that matches is a
# new run's first (RepositoryType) or another unanswered one.
crash_died_waiting() { # log text
    awk -v t="$2" '
        !seen && index($0, t) && / silent$/ { seen = 1; next }
        seen && / netfn=30 / { ok = / op=RepositoryType / || / silent$/; done = 1; exit }
        END { exit !(seen && done && ok) }
    ' "$1"
}

# The first line with `first` comes before the first with `then`.
crash_in_order() { # log first then
    awk -v a="$2" -v b="$3" '
        index($0, a) && !fa { fa = NR }
        index($0, b) && !fb { fb = NR }
        END { exit !(fa && fb && fa < fb) }
    ' "$1"
}
