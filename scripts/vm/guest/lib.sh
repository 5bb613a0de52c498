# shellcheck shell=sh
# What every guest part uses: the report on the second serial port ($OUT,
# set by /init) and the files sent along it.
uptime_s() { cut -d' ' -f1 /proc/uptime; }
say() { echo "$*" >"$OUT"; echo "vmtest: $*"; }
check() { # name PASS|FAIL detail...
    n=$1; r=$2; shift 2
    say "VMTEST-CHECK $n $r $*"
}
expect() { # name detail command...: PASS when the command succeeds
    n=$1; d=$2; shift 2
    if "$@"; then check "$n" PASS "$d"; else check "$n" FAIL "$d"; fi
}
# Files travel base64-encoded, so the host gets them byte for byte.
send_file() { # name path
    if [ -f "$2" ]; then
        say "VMTEST-FILE $1"
        base64 "$2" | sed 's/^/VMTEST-LINE /' >"$OUT"
        say "VMTEST-EOF $1"
    fi
}
ipmi_modules() { grep -o '^ipmi_[a-z]*' /proc/modules | sort | tr '\n' ' '; }
finish() {
    say "VMTEST-DONE $(uptime_s)"
    sync
    poweroff -f
}
