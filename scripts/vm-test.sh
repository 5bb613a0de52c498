#!/bin/bash
# Runs the program inside a QEMU guest against the real Linux IPMI driver.
# The guest's management controller is the simulated one (sim/ipmi), reached
# through QEMU's external-BMC device; the guest kernel is Debian's own.
#
#   scripts/vm-test.sh [--build-dir DIR] [--scenario NAME]...
#
# The scenarios are the table in scripts/vm/scenarios.sh (--help lists them).
# Installs what it needs (QEMU, busybox, the kernel package, unpacked into a
# cache under the build directory), builds an initramfs, boots one guest per
# scenario and judges what the guest and the controller report. Every wait is
# bounded; console logs and results stay in <build>/vm/results.
# shellcheck source-path=SCRIPTDIR
set -euo pipefail
VM_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
parts="$VM_ROOT/scripts/vm"
# shellcheck source=vm/lib.sh
. "$parts/lib.sh"
# shellcheck source=vm/scenarios.sh
. "$parts/scenarios.sh"
# shellcheck source=vm/packages.sh
. "$parts/packages.sh"
# shellcheck source=vm/kernel.sh
. "$parts/kernel.sh"
# shellcheck source=vm/initramfs.sh
. "$parts/initramfs.sh"
# shellcheck source=vm/boot.sh
. "$parts/boot.sh"
# shellcheck source=vm/judge.sh
. "$parts/judge.sh"

usage() { echo "usage: $0 [--build-dir DIR] [--scenario NAME]..."; scenario_usage; }
VM_BUILD="$VM_ROOT/build"
scenarios=()
while (($#)); do
    case "$1" in
    --build-dir) VM_BUILD="$(cd "$2" && pwd)"; shift 2 ;;
    --scenario) scenarios+=("$2"); shift 2 ;;
    *) usage >&2; exit 2 ;;
    esac
done
((${#scenarios[@]})) || mapfile -t scenarios < <(scenario_names)
for s in "${scenarios[@]}"; do
    scenario_row "$s" >/dev/null || die "unknown scenario $s"
done

VM_BOOT_TIMEOUT=${VM_BOOT_TIMEOUT:-300} # seconds from QEMU start to init (TCG on a busy host is slow)
VM_RUN_TIMEOUT=${VM_RUN_TIMEOUT:-900}   # seconds from QEMU start to power-off
VM_DIR="$VM_BUILD/vm"
VM_CACHE="$VM_DIR/cache"
VM_RESULTS="$VM_DIR/results"
t_start=$(now)

# Whatever ends this script (a failure under set -e, die, a signal) takes
# QEMU and the bridge along.
trap stop_children EXIT
trap 'stop_children; trap - EXIT; exit 130' INT
trap 'stop_children; trap - EXIT; exit 143' TERM HUP

run_scenario() { # name kver
    local name="$1" kver="$2" part script
    read -r part script < <(scenario_row "$name")
    if [[ "$script" == - ]]; then script=""; else script="$VM_ROOT/$script"; fi
    boot_guest "$name" "$part" "$script" "$kver" || return 0
    # shellcheck source=/dev/null
    . "$parts/judge/$name.sh"
    "judge_$name" "$script"
}

ensure_packages
ensure_kernel
kver=$(kernel_version)
for f in bin/lumoswitch bin/simipmi_extbmc bin/vm_ipmi_probe lib/libstorelibit.so \
    lib/libstorelibit.so.07 lib/storelib_topology.conf lib/libsimipmi_preload.so \
    bin/simstorelib_tcmu bin/vm_sg_probe lib/libstorelibit_sg.so lib/liblumorecord_storelibit.so \
    lib/liblumorecord_ipmi.so bin/lumorecord-summary tests/e2e/libe2e_holdrename.so; do
    [[ -e "$VM_BUILD/$f" ]] || die "$VM_BUILD/$f is not built"
done
mkdir -p "$VM_RESULTS"
t_img=$(now)
build_image "$kver"
echo "vm-test: kernel $kver, initramfs $(du -h "$VM_DIR/initrd.gz" | cut -f1) built in $(elapsed "$t_img")s"

for s in "${scenarios[@]}"; do
    run_scenario "$s" "$kver"
done

echo "vm-test: whole run took $(elapsed "$t_start")s"
for s in "${scenarios[@]}"; do
    [[ -f "$VM_RESULTS/$s/timing" ]] && echo "vm-test: $s: $(cat "$VM_RESULTS/$s/timing")"
done
if ((VM_FAILURES)); then
    echo "vm-test: $VM_FAILURES check(s) failed; logs in $VM_RESULTS" >&2
    exit 1
fi
echo "vm-test: all scenarios passed"
