#!/bin/bash
# Runs a command in a throw-away copy of this machine: private mount and PID
# namespaces, the whole root file system under an overlay whose upper layer is
# a tmpfs (so nothing the command writes outside the bound directories reaches
# the host), recording stand-ins for the system tools it may run, and a time
# limit. See README.md beside this file.
#
#   sandbox.sh --pkg DIR [options] -- COMMAND [ARGS...]
#
#   --pkg DIR                 host directory bound read-write at the same path;
#                             the command starts in it
#   --bind DIR                another host directory bound read-write (repeatable)
#   --standin NAME[=S1,S2..]  replace tool NAME by a recorder that exits with S1 on
#                             its first call, S2 on the second..., the last status
#                             for every later call (default 0)
#   --standin-stdout NAME=FILE  the stand-in also prints FILE on standard output
#   --record FILE             where stand-ins append "NAME ARG..." lines
#                             (default DIR/standins.log); must be in a bound directory
#   --root DIR                copy DIR's tree over the sandbox root (release files,
#                             configuration) before the command starts
#   --modules [TABLE]         lsmod, modprobe and rmmod keep a module table across
#                             the calls (TABLE: "NAME SIZE USERS" lines to start
#                             from; "-" for an empty one)
#   --preload LIB             LD_PRELOAD for the command (and what it starts)
#   --env NAME=VALUE          environment variable for the command (repeatable)
#   --timeout SECONDS         kill the command after this long (default 120; status 124)
#
# The command's exit status is the script's; 125 means the sandbox itself failed.
set -euo pipefail

die() {
    echo "sandbox: $*" >&2
    exit 125
}

if [[ "${1:-}" != "--inside" ]]; then
    [[ $(id -u) -eq 0 ]] || die "needs root (mount and PID namespaces)"
    command -v unshare >/dev/null || die "unshare not found"
    scratch=$(mktemp -d /tmp/lumo-sandbox.XXXXXX)
    status=0
    unshare --mount --pid --fork --propagation private \
        "$(readlink -f "$0")" --inside "$scratch" "$@" || status=$?
    rmdir "$scratch" 2>/dev/null || true
    exit "$status"
fi

shift
scratch=$1
shift
# shellcheck source-path=SCRIPTDIR source=overlay_root.sh
source "$(dirname "$(readlink -f "$0")")/overlay_root.sh"

pkg=""
binds=()
standins=()
stdouts=()
record=""
roots=()
preload=""
envs=()
modules=""
timeout_s=120
while (($#)); do
    case "$1" in
    --pkg) pkg=$(readlink -f "$2"); shift 2 ;;
    --bind) binds+=("$(readlink -f "$2")"); shift 2 ;;
    --standin) standins+=("$2"); shift 2 ;;
    --standin-stdout) stdouts+=("$2"); shift 2 ;;
    --record) record=$2; shift 2 ;;
    --root) roots+=("$(readlink -f "$2")"); shift 2 ;;
    --preload)
        # A colon-separated list, as LD_PRELOAD takes it.
        IFS=: read -ra _libs <<<"$2"
        for _lib in "${_libs[@]}"; do
            preload+=${preload:+:}$(readlink -f "$_lib")
        done
        shift 2 ;;
    --env) envs+=("$2"); shift 2 ;;
    --modules) modules=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    --) shift; break ;;
    *) die "unknown option $1" ;;
    esac
done
(($#)) || die "no command given"
[[ -n "$pkg" && -d "$pkg" ]] || die "--pkg must name an existing directory"
[[ -n "$record" ]] || record="$pkg/standins.log"

# Everything below happens in this mount namespace only.
mount --make-rprivate /
overlay_root_mount "$scratch" || die "cannot mount the root overlay"
root=$scratch/root

inroot() {
    overlay_root_run "$root" "$@"
}

for dir in "$pkg" "${binds[@]}"; do
    [[ -d "$dir" ]] || die "cannot bind $dir: not a directory"
    inroot mkdir -p "$dir" || die "cannot make $dir in the sandbox"
    inner=$(inroot realpath -e "$dir") || die "cannot resolve $dir in the sandbox"
    mount --bind "$dir" "$root$inner"
done

mkdir -p "$root/run/sandbox"
# The preload libraries usually live in a build tree, which may itself lie
# under the /tmp the sandbox has just replaced: make their folders visible at
# the same paths.
if [[ -n "$preload" ]]; then
    IFS=: read -ra _libs <<<"$preload"
    for _lib in "${_libs[@]}"; do
        [[ -f "$_lib" ]] || die "--preload $_lib: no such file"
        _dir=$(dirname "$_lib")
        if [[ ! -f "$root$_lib" ]] || ! cmp -s "$_lib" "$root$_lib"; then
            mkdir -p "$root$_dir"
            mount --bind "$_dir" "$root$_dir"
        fi
    done
fi

for tree in "${roots[@]}"; do
    [[ -d "$tree" ]] || die "--root $tree is not a directory"
    rm -rf "$root/run/sandbox/tree"
    cp -a "$tree" "$root/run/sandbox/tree"
    inroot cp -a --remove-destination /run/sandbox/tree/. / || die "cannot copy $tree into the sandbox"
done
rm -rf "$root/run/sandbox/tree"

# Recording stand-ins, first on PATH, in /usr/sbin and over every copy of the
# tool on the usual paths (a link is replaced, never written through).
for spec in "${standins[@]}"; do
    name=${spec%%=*}
    statuses=0
    [[ "$spec" == *=* ]] && statuses=${spec#*=}
    [[ "$name" =~ ^[A-Za-z0-9._+-]+$ ]] || die "bad stand-in name $name"
    [[ "$statuses" =~ ^[0-9]+(,[0-9]+)*$ ]] || die "bad statuses for $name: $statuses"
    out=""
    for s in "${stdouts[@]}"; do
        if [[ "${s%%=*}" == "$name" ]]; then
            out=${s#*=}
        fi
    done
    overlay_root_standin "$root" "$name" "$statuses" "$record" "$out" ||
        die "cannot install the stand-in for $name"
done

# The module table after the plain stand-ins, whose lsmod, modprobe and rmmod
# it replaces.
if [[ -n "$modules" ]]; then
    table=""
    [[ "$modules" != - ]] && table=$modules
    overlay_root_modules "$root" "$record" "$table" || die "cannot install the module table"
fi

run_env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
    LANG=C LC_ALL=C TERM=dumb)
[[ -n "$preload" ]] && run_env+=("LD_PRELOAD=$preload")
run_env+=("${envs[@]}")

status=0
# shellcheck disable=SC2016 # expanded by the inner shell
chroot "$root" /usr/bin/env -i "${run_env[@]}" /bin/sh -c 'cd "$1" && shift && exec "$@"' \
    sandbox-shell "$pkg" timeout --kill-after=5 "$timeout_s" "$@" || status=$?
exit "$status"
