# shellcheck shell=bash
# Sourced by sandbox.sh and the fleet test: a throw-away copy of this machine's
# root file system, and recording stand-ins for the system tools inside it.
# Call these in a private mount namespace (unshare --mount --propagation
# private): every mount they make disappears with it.

# overlay_root_mount SCRATCH
# Mounts a tmpfs on SCRATCH and, on SCRATCH/root, the whole root file system
# under an overlay whose upper layer lives in that tmpfs, with its own /proc,
# this machine's /sys and /dev, and fresh /tmp and /run. Nothing written in
# the copy reaches the host.
overlay_root_mount() {
    local scratch=$1 root=$1/root
    mount -t tmpfs -o mode=0755 sandbox "$scratch" || return 1
    mkdir "$scratch/upper" "$scratch/work" "$root" || return 1
    mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" \
        "$root" || return 1
    mount -t proc proc "$root/proc" &&
        mount --rbind /sys "$root/sys" &&
        mount --rbind /dev "$root/dev" &&
        mount -t tmpfs -o mode=1777 tmp "$root/tmp" &&
        mount -t tmpfs -o mode=0755 run "$root/run"
}

# overlay_root_run ROOT COMMAND [ARGS...]
# Runs COMMAND inside ROOT with a minimal environment. Files are placed and
# paths resolved from inside: many system tools are links with absolute
# targets (rmmod -> /bin/kmod), and following one from outside would write
# onto the host instead of into the overlay.
overlay_root_run() {
    local root=$1
    shift
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# overlay_root_standin ROOT NAME STATUSES RECORD [STDOUT]
# Replaces tool NAME inside ROOT by a recorder that appends "NAME ARG..." to
# RECORD (a path as seen inside ROOT) and exits with the first of the
# comma-separated STATUSES on its first call, the second on the second..., the
# last for every later call; with STDOUT (a host file) it also prints that
# file. The recorder goes into /usr/local/sbin and over every copy of the tool
# on the usual paths (a link is replaced, never written through).
overlay_root_standin() {
    local root=$1 name=$2 statuses=$3 record=$4 stdout=${5:-} out=""
    [[ "$name" =~ ^[A-Za-z0-9._+-]+$ ]] || { echo "bad stand-in name $name" >&2; return 1; }
    [[ "$statuses" =~ ^[0-9]+(,[0-9]+)*$ ]] || { echo "bad statuses for $name: $statuses" >&2; return 1; }
    mkdir -p "$root/run/standins" || return 1
    if [[ -n "$stdout" ]]; then
        cp "$(readlink -f "$stdout")" "$root/run/standins/$name.stdout" || return 1
        out="/run/standins/$name.stdout"
    fi
    # shellcheck disable=SC2016 # single quotes of the generated script
    cat >"$root/run/standins/$name" <<STANDIN
#!/bin/sh
# Recording stand-in for $name.
{ printf '%s' '$name'; for a in "\$@"; do printf ' %s' "\$a"; done; printf '\n'; } >>'$record'
n=\$(cat /run/standins/$name.count 2>/dev/null || echo 0)
echo \$((n + 1)) >/run/standins/$name.count
set -- \$(echo '$statuses' | tr ',' ' ')
shift \$((n < \$# ? n : \$# - 1))
${out:+cat '$out'}
exit \$1
STANDIN
    overlay_root_install "$root" "$name"
}

# overlay_root_install ROOT NAME
# Puts the stand-in /run/standins/NAME of ROOT into /usr/local/sbin and over
# every copy of the tool on the usual paths (a link is replaced, never
# written through).
overlay_root_install() {
    local root=$1 name=$2
    chmod 0755 "$root/run/standins/$name"
    # shellcheck disable=SC2016 # expanded by the inner shell
    overlay_root_run "$root" /bin/sh -c '
        name=$1
        mkdir -p /usr/local/sbin
        for dir in /usr/local/sbin /usr/sbin /usr/bin /sbin /bin; do
            [ -L "$dir" ] && continue
            # /usr/sbin always: the program gives its shell children a fixed
            # PATH of system folders, where a tool this machine lacks must
            # be found too.
            if [ "$dir" = /usr/local/sbin ] || [ "$dir" = /usr/sbin ] || [ -e "$dir/$name" ] ||
                [ -L "$dir/$name" ]; then
                rm -f "$dir/$name" && cp "/run/standins/$name" "$dir/$name" || exit 1
            fi
        done' stand-in "$name"
}

# overlay_root_modules ROOT RECORD [TABLE]
# Replaces lsmod, modprobe and rmmod inside ROOT by a model of the kernel's
# module table, kept in /run/standins/modules ("NAME SIZE USERS" lines; TABLE,
# a host file, is the table to start from): lsmod prints it, modprobe adds a
# module that is not there, rmmod removes one that is there and that nothing
# uses, as the kernel refuses otherwise (a module named in
# /run/standins/modules.busy counts as used, as by a process holding its
# device open). Calls are recorded as by the other stand-ins.
overlay_root_modules() {
    local root=$1 record=$2 table=${3:-} name
    mkdir -p "$root/run/standins" || return 1
    if [[ -n "$table" ]]; then
        cp "$(readlink -f "$table")" "$root/run/standins/modules" || return 1
    else
        : >"$root/run/standins/modules"
    fi
    for name in lsmod modprobe rmmod; do
        # shellcheck disable=SC2016 # single quotes of the generated script
        cat >"$root/run/standins/$name" <<STANDIN
#!/bin/sh
# Module-table stand-in for $name.
{ printf '%s' '$name'; for a in "\$@"; do printf ' %s' "\$a"; done; printf '\n'; } >>'$record'
table=/run/standins/modules
case '$name' in
lsmod)
    echo 'Module                  Size  Used by'
    while read -r m size users; do printf '%-24s%7s  %s\n' "\$m" "\$size" "\$users"; done <"\$table"
    exit 0 ;;
modprobe)
    grep -q "^\$1 " "\$table" || echo "\$1 16384 0" >>"\$table"
    exit 0 ;;
rmmod)
    line=\$(grep "^\$1 " "\$table") || { echo "rmmod: ERROR: Module \$1 is not currently loaded" >&2; exit 1; }
    set -- \$line
    if [ "\$3" != 0 ] || grep -qw "\$1" /run/standins/modules.busy 2>/dev/null; then
        echo "rmmod: ERROR: Module \$1 is in use" >&2
        exit 1
    fi
    grep -v "^\$1 " "\$table" >"\$table.new"; mv "\$table.new" "\$table"
    exit 0 ;;
esac
STANDIN
        overlay_root_install "$root" "$name" || return 1
    done
}
