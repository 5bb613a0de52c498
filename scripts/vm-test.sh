#!/bin/bash
# Runs the program inside a QEMU guest against the real Linux IPMI driver.
# The guest's management controller is the simulated one (sim/ipmi), reached
# through QEMU's external-BMC device; the guest kernel is Debian's own.
#
#   scripts/vm-test.sh [--build-dir DIR] [--scenario NAME]...
#
# Scenarios (all by default):
#   probe   the kernel driver alone: modules loaded by hand, Get Device ID
#   update  a full "lumoswitch -u" that starts with no IPMI module loaded
#   silent  the same with a controller that leaves one request unanswered
#   scsi    the storage half on the kernel's SCSI stack: the SCSI generic
#           library as ./libstorelibit.so against two switches served by
#           simstorelib_tcmu through the kernel's SCSI target, sg3-utils,
#           a download benchmark, faults and the kernel's scsi_debug
#   record  "lumoswitch -i" and "-u" recorded in the guest at both boundaries,
#           replayed on the host by the simulators (scripts/vm/record-roundtrip-*.sh)
#
# Installs what it needs (QEMU, busybox, the kernel package, unpacked into a
# cache under the build directory), builds an initramfs, boots one guest per
# scenario and judges what the guest and the controller report. Every wait is
# bounded; console logs and results stay in <build>/vm/results.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
scenarios=()
while (($#)); do
    case "$1" in
    --build-dir) build="$(cd "$2" && pwd)"; shift 2 ;;
    --scenario) scenarios+=("$2"); shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR] [--scenario NAME]..." >&2; exit 2 ;;
    esac
done
((${#scenarios[@]})) || scenarios=(probe update silent scsi record)

BOOT_TIMEOUT=${VM_BOOT_TIMEOUT:-300}  # seconds from QEMU start to init (TCG on a busy host is slow)
RUN_TIMEOUT=${VM_RUN_TIMEOUT:-900}    # seconds from QEMU start to power-off

vm="$build/vm"
cache="$vm/cache"
results="$vm/results"
t_start=$(date +%s.%N)
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN{printf "%.1f", b-a}'; }
die() { echo "vm-test: $*" >&2; exit 1; }

# QEMU and the bridge run in the background; whatever ends this script
# (a failure under set -e, die, a signal) takes them along.
qpid=""
bpid=""
stop_children() {
    local p
    for p in $qpid $bpid; do
        kill "$p" 2>/dev/null || true
    done
    for p in $qpid $bpid; do
        wait "$p" 2>/dev/null || true
    done
    qpid=""
    bpid=""
}
trap stop_children EXIT
trap 'stop_children; trap - EXIT; exit 130' INT
trap 'stop_children; trap - EXIT; exit 143' TERM HUP

# --- packages ---------------------------------------------------------------
apt_updated=0
apt_update_once() {
    if ((apt_updated == 0)); then
        apt-get update -qq >/dev/null || die "apt-get update failed"
        apt_updated=1
    fi
}
ensure_packages() {
    local missing=() p
    for p in qemu-system-x86 busybox-static cpio sg3-utils; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "vm-test: installing ${missing[*]}"
        apt_update_once
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null || die "apt-get install ${missing[*]} failed"
    fi
}

# The kernel package linux-image-amd64 points to, unpacked once into the cache.
ensure_kernel() {
    local unpacked="$cache/kernel"
    if [[ -f "$unpacked/.complete" ]]; then
        return
    fi
    local pkg
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/{print $2; exit}') || true
    if [[ -z "$pkg" ]]; then
        apt_update_once
        pkg=$(apt-cache depends linux-image-amd64 |
            awk '/Depends: linux-image-[0-9]/{print $2; exit}')
    fi
    [[ -n "$pkg" ]] || die "cannot tell which kernel package linux-image-amd64 depends on"
    echo "vm-test: downloading $pkg"
    rm -rf "$cache/deb" "$unpacked"
    mkdir -p "$cache/deb"
    (cd "$cache/deb" && apt-get download "$pkg" >/dev/null 2>&1) ||
        (apt_update_once && cd "$cache/deb" && apt-get download "$pkg" >/dev/null) ||
        die "apt-get download $pkg failed"
    dpkg -x "$cache"/deb/*.deb "$unpacked" || die "dpkg -x of $pkg failed"
    rm -rf "$cache/deb"
    touch "$unpacked/.complete"
}

kernel_version() {
    local k
    k=$(ls "$cache"/kernel/boot/vmlinuz-* 2>/dev/null | head -n1)
    [[ -n "$k" ]] || die "no kernel in $cache/kernel/boot"
    basename "$k" | sed 's/^vmlinuz-//'
}

# --- initramfs ----------------------------------------------------------------
# Copies a binary and every shared library ldd names, at the same paths.
copy_with_libs() { # source destdir-in-image
    local src="$1" dest="$2" lib
    install -D -m 0755 "$src" "$img$dest/$(basename "$src")"
    ldd "$src" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
        while read -r lib; do
            [[ -e "$img$lib" ]] || install -D -m 0755 "$(readlink -f "$lib")" "$img$lib"
        done
}

make_payload() { # dir
    mkdir -p "$1"
    # Three 32 KiB chunks.
    awk 'BEGIN { for (i = 0; i < 4096; i++) printf "LUMO-SWITCH-IMAGE-1.4.8\n" }' \
        >"$1/lumo_sw_1.4.8.bin"
}

build_image() {
    local kver="$1"
    img="$vm/image"
    rm -rf "$img"
    mkdir -p "$img"/{bin,sbin,usr/bin,proc,sys,dev,tmp,opt/lumo}

    install -m 0755 /bin/busybox "$img/bin/busybox"
    local a
    for a in $(/bin/busybox --list); do
        [[ "$a" == busybox ]] || ln -sf busybox "$img/bin/$a"
    done

    # The modules at the path the program's modprobe searches, with their
    # dependency list made for that tree alone by the guest's own depmod.
    local kmods="$cache/kernel/lib/modules/$kver"
    local dst="$img/lib/modules/$kver/kernel/drivers/char/ipmi"
    mkdir -p "$dst"
    local m
    for m in ipmi_msghandler ipmi_devintf ipmi_si; do
        install -m 0644 "$kmods/kernel/drivers/char/ipmi/$m.ko" "$dst/" ||
            die "kernel module $m missing from the kernel package"
    done
    /bin/busybox depmod -b "$img" "$kver" || die "depmod failed"

    install -m 0755 "$build/bin/vm_ipmi_probe" "$img/usr/bin/ipmi_probe"
    install -m 0755 "$root/scripts/vm/guest-init.sh" "$img/init"

    # The package directory: the unmodified program with the libraries it
    # links, the simulated storage library it loads from its directory, the
    # package descriptor and the payload image.
    local pkg=/opt/lumo
    copy_with_libs "$build/bin/lumoswitch" "$pkg"
    copy_with_libs "$build/lib/libstorelibit.so" "$pkg"
    install -m 0755 "$build/lib/libstorelibit.so.07" "$img$pkg/"
    install -m 0644 "$build/lib/storelib_topology.conf" "$img$pkg/"
    install -m 0644 "$root/tests/vm/package/package.xml" "$img$pkg/"
    make_payload "$img$pkg/payload"

    add_scsi_stack "$kver"
    record_image

    (cd "$img" && find . -print0 | cpio --null -o -H newc --quiet | gzip -1) >"$vm/initrd.gz" ||
        die "cannot pack the initramfs"
}

# A kernel module and, through its "depends=" field, every module it needs,
# at their paths under the image's module tree.
add_module() { # kver name
    local kmods="$cache/kernel/lib/modules/$1" name="$2" f dep
    f=$(find "$kmods/kernel" -name "$name.ko" -o -name "$(echo "$name" | tr _ -).ko" | head -n1)
    [[ -n "$f" ]] || die "kernel module $name missing from the kernel package"
    [[ -e "$img/lib/modules/$1/${f#"$kmods"/}" ]] && return
    install -D -m 0644 "$f" "$img/lib/modules/$1/${f#"$kmods"/}"
    for dep in $(tr '\0' '\n' <"$f" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$1" "$dep"
    done
}

# The kernel's SCSI target and generic driver, the switch handler, sg3-utils
# and a second package directory whose storage library is the SCSI generic
# one (shipped as ./libstorelibit.so, as a package would).
add_scsi_stack() { # kver
    local m t
    for m in sg scsi_debug configfs target_core_mod target_core_user tcm_loop uio; do
        add_module "$1" "$m"
    done
    /bin/busybox depmod -b "$img" "$1" || die "depmod failed"
    copy_with_libs "$build/bin/simstorelib_tcmu" /usr/bin
    copy_with_libs "$build/bin/vm_sg_probe" /usr/bin
    mv "$img/usr/bin/vm_sg_probe" "$img/usr/bin/sg_probe"
    for t in sg_inq sg_vpd sg_write_buffer sg_raw; do
        copy_with_libs "$(command -v "$t")" /usr/bin
    done
    local pkg=/opt/lumo-sg
    copy_with_libs "$build/bin/lumoswitch" "$pkg"
    copy_with_libs "$build/lib/libstorelibit_sg.so" "$pkg"
    mv "$img$pkg/libstorelibit_sg.so" "$img$pkg/libstorelibit.so"
    install -m 0644 "$root/tests/vm/package/package.xml" "$img$pkg/"
    install -D -m 0644 -t "$img$pkg/scsi" "$root/tests/vm/scsi/switches.conf" \
        "$root/tests/vm/scsi/faults.conf"
    make_payload "$img$pkg/payload"
}

# --- one guest ------------------------------------------------------------------
free_port() {
    local p
    for _ in $(seq 1 50); do
        p=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return
        fi
    done
    die "no free TCP port found"
}

# Boots the guest for one scenario. Leaves console.log, channel.log,
# requests.log, state and extbmc.trace in $results/<scenario>.
boot_guest() { # scenario controller-script(or empty)
    local name="$1" script="$2" kver="$3"
    local dir="$results/$name"
    rm -rf "$dir"
    mkdir -p "$dir"
    local port t0 booted="" done_="" attempt
    for attempt in 1 2 3 4 5; do
        port=$(free_port)
        t0=$(now)
        qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nodefaults -no-reboot \
            -display none -monitor none \
            -kernel "$cache/kernel/boot/vmlinuz-$kver" -initrd "$vm/initrd.gz" \
            -append "console=ttyS0 panic=-1 loglevel=4 lumo.scenario=$name" \
            -serial "file:$dir/console.log" -serial "file:$dir/channel.log" \
            -chardev "socket,id=ipmi0,host=127.0.0.1,port=$port,server=on,wait=off" \
            -device ipmi-bmc-extern,id=bmc0,chardev=ipmi0 \
            -device isa-ipmi-kcs,bmc=bmc0 \
            >"$dir/qemu.log" 2>&1 &
        qpid=$!
        sleep 0.5
        if kill -0 "$qpid" 2>/dev/null; then
            break
        fi
        wait "$qpid" || true
        grep -q 'Address already in use' "$dir/qemu.log" || {
            cat "$dir/qemu.log" >&2
            die "QEMU did not start ($name)"
        }
    done
    kill -0 "$qpid" 2>/dev/null || die "QEMU could not bind a port ($name)"

    local extargs=(--connect "127.0.0.1:$port" --log "$dir/requests.log"
        --state "$dir/state" --trace "$dir/extbmc.trace" --connect-timeout 20)
    [[ -n "$script" ]] && extargs+=(--script "$script")
    "$build/bin/simipmi_extbmc" "${extargs[@]}" &
    bpid=$!

    local status=ok
    while :; do
        if [[ -z "$booted" ]] && grep -q '^VMTEST-BOOTED' "$dir/channel.log" 2>/dev/null; then
            booted=$(elapsed "$t0")
        fi
        if grep -q '^VMTEST-DONE' "$dir/channel.log" 2>/dev/null; then
            done_=$(elapsed "$t0")
            break
        fi
        if ! kill -0 "$qpid" 2>/dev/null; then
            status="guest stopped before finishing"
            break
        fi
        local e
        e=$(elapsed "$t0")
        if [[ -z "$booted" ]] && awk -v e="$e" -v l="$BOOT_TIMEOUT" 'BEGIN{exit !(e>l)}'; then
            status="guest did not boot within ${BOOT_TIMEOUT}s"
            break
        fi
        if awk -v e="$e" -v l="$RUN_TIMEOUT" 'BEGIN{exit !(e>l)}'; then
            status="guest did not finish within ${RUN_TIMEOUT}s"
            break
        fi
        sleep 0.2
    done
    # The guest powers itself off after VMTEST-DONE; give it a moment.
    if [[ "$status" == ok ]]; then
        for _ in $(seq 1 50); do
            kill -0 "$qpid" 2>/dev/null || break
            sleep 0.2
        done
    fi
    kill "$qpid" 2>/dev/null || true
    wait "$qpid" 2>/dev/null || true
    # QEMU's exit closes the link and ends the bridge; bound that too.
    for _ in $(seq 1 50); do
        kill -0 "$bpid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$bpid" 2>/dev/null || true
    local brc=0
    wait "$bpid" || brc=$?
    echo "$brc" >"$dir/extbmc.rc"
    qpid=""
    bpid=""

    echo "boot=${booted:-none} total=${done_:-none}" >"$dir/timing"
    # Judged from a copy without carriage returns, whatever the tty did.
    tr -d '\r' <"$dir/channel.log" >"$dir/channel.txt" 2>/dev/null || true
    extract_files "$dir"
    if [[ "$status" != ok ]]; then
        fail "$name: $status (console log: $dir/console.log)"
        return 1
    fi
    echo "vm-test: $name: guest booted in ${booted}s, scenario done after ${done_}s"
}

# Decodes the guest's VMTEST-FILE blocks into $dir/guest/<name>.
extract_files() {
    local dir="$1" name
    mkdir -p "$dir/guest"
    for name in $(awk '/^VMTEST-FILE [A-Za-z0-9._-]+$/ { print $2 }' "$dir/channel.txt" 2>/dev/null); do
        awk -v n="$name" '
            $0 == "VMTEST-FILE " n { on = 1; next }
            $0 == "VMTEST-EOF " n  { on = 0; next }
            on && /^VMTEST-LINE / { print substr($0, 13) }
        ' "$dir/channel.txt" | base64 -d >"$dir/guest/$name" 2>/dev/null ||
            echo "vm-test: note $dir/guest/$name arrived damaged"
    done
}

failures=0
fail() { echo "vm-test: FAIL $*"; failures=$((failures + 1)); }
pass() { echo "vm-test: ok   $*"; }

# A guest check reported on the channel.
guest_check() { # scenario check-name
    local line
    line=$(grep "^VMTEST-CHECK $2 " "$results/$1/channel.txt" 2>/dev/null | tail -n1)
    if [[ "$line" == "VMTEST-CHECK $2 PASS"* ]]; then
        pass "$1/$2: ${line#VMTEST-CHECK $2 PASS }"
        return 0
    fi
    fail "$1/$2: ${line:-not reported}"
    return 1
}
guest_detail() { # scenario check-name -> detail text
    grep "^VMTEST-CHECK $2 " "$results/$1/channel.txt" 2>/dev/null | tail -n1 |
        cut -d' ' -f4-
}

# --- the same scenario under the preload stand-in -----------------------------------
# Runs the program in the end-to-end sandbox with the LD_PRELOAD device in
# front of the same controller script. The system tools are the sandbox's
# recording stand-ins; rmmod fails as the guest's did (the open device holds
# the modules) and lsmod lists nothing, as in the guest before the run.
preload_run() { # scenario controller-script
    local name="$1" script="$2"
    local dir="$results/$name/preload"
    rm -rf "$dir"
    mkdir -p "$dir/pkg"
    cp "$build/bin/lumoswitch" "$build/lib/libstorelibit.so" "$build/lib/libstorelibit.so.07" \
        "$build/lib/storelib_topology.conf" "$root/tests/vm/package/package.xml" "$dir/pkg/"
    make_payload "$dir/pkg/payload"
    local args=() t status
    for t in lsmod modprobe rmmod=1 insmod depmod udevadm udevcontrol rpm umount esxcli \
        esxcfg-scsidevs esxcfg-rescan; do
        args+=(--standin "$t")
    done
    # The driver's timeout answer for a silent controller, as the guest gets
    # it from QEMU's external BMC link.
    args+=(--env "SIMIPMI_LOG=$dir/pkg/requests.log" --env "SIMIPMI_STATE=$dir/pkg/state"
        --env SIMIPMI_TIME_SCALE=100 --env SIMIPMI_DRIVER_TIMEOUT_MS=4000)
    # The sandbox mounts a fresh /tmp: a script from a checkout under /tmp
    # would vanish inside it, so the run reads its own copy in the package.
    if [[ -n "$script" ]]; then
        cp "$script" "$dir/pkg/controller.script"
        args+=(--env "SIMIPMI_SCRIPT=$dir/pkg/controller.script")
    fi
    status=0
    # The guest has no udev tools: neither may the sandbox (its root is a
    # throw-away overlay), or the access layer logs a udev reload the guest
    # never made.
    "$root/tests/e2e/sandbox.sh" --pkg "$dir/pkg" --record "$dir/pkg/standins.log" \
        --preload "$build/lib/libsimipmi_preload.so" "${args[@]}" --timeout 600 \
        -- /bin/sh -c 'rm -f /sbin/udevadm /sbin/udevcontrol && exec "$@"' no-udev \
        ./lumoswitch -u -d -o "$dir/pkg/report.xml" >"$dir/stdout.txt" 2>"$dir/stderr.txt" ||
        status=$?
    echo "$status" >"$dir/exit"
}

# The controller's view of the program: its requests (NetFn 0x30; the kernel
# driver's own start-up requests stay out) without the running number.
program_requests() { # request-log
    grep ' netfn=30 ' "$1" 2>/dev/null | sed 's/^seq=[0-9]* //'
}

normalize_trace() { # log file
    [[ -s "$1" ]] || { echo "(missing or empty: $(basename "$1"))"; return; }
    sed -E -e 's#^\[[0-9T:-]+\] ##' \
        -e 's#[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}(AM|PM)##' \
        -e 's#session ID = [0-9]+#session ID = N#' \
        -e 's#File Descriptor Value [0-9]+#File Descriptor Value N#' "$1"
}

compare_with_preload() { # scenario controller-script
    local s="$1" dir="$results/$1"
    preload_run "$s" "$2"
    local st
    st=$(cat "$dir/preload/exit")
    [[ "$st" == 0 ]] || fail "$s: program under the preload stand-in exited with $st"
    if diff -u <(program_requests "$dir/requests.log") \
        <(program_requests "$dir/preload/pkg/requests.log") >"$dir/compare.diff"; then
        pass "$s: controller request log identical to the preload stand-in's" \
            "($(program_requests "$dir/requests.log" | wc -l) requests)"
    else
        fail "$s: request log differs from the preload stand-in's (real driver -, stand-in +):"
        sed 's/^/    /' "$dir/compare.diff"
    fi
    # The IPMI library's and the access layer's own traces, without clock
    # times, the thread's number and the descriptor's number.
    local log
    for log in vexipmi_internal.log SCAL_DBG.log; do
        if diff -u <(normalize_trace "$dir/guest/$log") \
            <(normalize_trace "$dir/preload/pkg/$log") >"$dir/compare-$log.diff"; then
            pass "$s: $log identical to the preload stand-in's"
        else
            fail "$s: $log differs from the preload stand-in's (real driver -, stand-in +):"
            sed 's/^/    /' "$dir/compare-$log.diff" | head -40
        fi
    done
    if cmp -s "$dir/guest/report.xml" "$dir/preload/pkg/report.xml"; then
        pass "$s: update report identical to the preload stand-in's"
    else
        fail "$s: update report differs from the preload stand-in's"
    fi
}

# --- scenarios ---------------------------------------------------------------------
judge_probe() {
    guest_check probe modules-loaded || true
    guest_check probe get-device-id || true
    guest_check probe modules-unload || true
    if grep -q 'op=GetDeviceID' "$results/probe/requests.log" 2>/dev/null; then
        pass "probe: controller logged the guest's Get Device ID"
    else
        fail "probe: controller request log has no Get Device ID"
    fi
}

# Checks shared by the scenarios that run the program.
judge_program() { # scenario
    local s="$1" dir="$results/$1"
    guest_check "$s" no-modules-before || true
    local run
    run=$(guest_detail "$s" program-run)
    if [[ "$run" == exit=0* ]]; then
        pass "$s: program ran ($run)"
    else
        fail "$s: program run: ${run:-not reported}"
    fi
    # The program loaded every module itself; its unloads, made while its
    # device was open, were refused, and once it ended nothing held them.
    local after m bad=0
    after=$(guest_detail "$s" modules-after)
    local ilog="$dir/guest/vexipmi_internal.log"
    for m in ipmi_msghandler ipmi_devintf ipmi_si; do
        if [[ " $after " != *" $m "* ]]; then
            fail "$s: module $m not loaded after the run ($after)"
            bad=1
        fi
        if ! grep -q "modprobe $m .*exit code : 0" "$ilog" 2>/dev/null; then
            fail "$s: IPMI library log shows no successful modprobe $m"
            bad=1
        fi
        if ! grep -q "rmmod $m " "$ilog" 2>/dev/null; then
            fail "$s: IPMI library log shows no unload attempt of $m"
            bad=1
        fi
    done
    ((bad)) || pass "$s: the program loaded the three modules with modprobe and tried to unload them"
    guest_check "$s" modules-unload || true
    grep -q '^flag=0x05' "$dir/state" 2>/dev/null &&
        pass "$s: controller holds state flag 5" ||
        fail "$s: controller state flag is $(grep '^flag=' "$dir/state" 2>/dev/null)"
    grep -q '^session=closed' "$dir/state" 2>/dev/null ||
        fail "$s: repository session left $(grep '^session=' "$dir/state" 2>/dev/null)"
}

judge_update() {
    judge_program update
    compare_with_preload update "$root/sim/ipmi/scenarios/happy.script"
}

judge_silent() {
    judge_program silent
    local n
    n=$(grep -c 'op=setStateFlagCmd' "$results/silent/requests.log" 2>/dev/null || true)
    [[ "$n" == 2 ]] && pass "silent: state-flag request sent again after the silent one" ||
        fail "silent: $n state-flag requests, expected 2"
    grep -q 'return code as c3' "$results/silent/guest/vexipmi_internal.log" 2>/dev/null &&
        pass "silent: the library saw completion code C3 from the driver" ||
        fail "silent: no completion code C3 in the IPMI library log"
    compare_with_preload silent "$root/tests/vm/scenarios/silent-once.script"
}

# --- the storage half on the kernel's SCSI stack -------------------------------------
# The same update under the simulated storage library in the sandbox, with the
# same topology, so the CDBs each switch saw can be compared.
sim_storelib_run() { # name topology
    local dir="$results/scsi/sim-$1"
    rm -rf "$dir"
    mkdir -p "$dir/pkg"
    cp "$build/bin/lumoswitch" "$build/lib/libstorelibit.so" "$root/tests/vm/package/package.xml" \
        "$dir/pkg/"
    cp "$2" "$dir/pkg/storelib_topology.conf"
    make_payload "$dir/pkg/payload"
    local args=() t status=0
    for t in lsmod modprobe rmmod=1 insmod depmod udevadm udevcontrol rpm umount esxcli \
        esxcfg-scsidevs esxcfg-rescan; do
        args+=(--standin "$t")
    done
    args+=(--env "SIMIPMI_LOG=$dir/pkg/requests.log" --env "SIMIPMI_STATE=$dir/pkg/state"
        --env SIMIPMI_TIME_SCALE=100 --env "SIMIPMI_SCRIPT=$root/sim/ipmi/scenarios/happy.script")
    "$root/tests/e2e/sandbox.sh" --pkg "$dir/pkg" --record "$dir/pkg/standins.log" \
        --preload "$build/lib/libsimipmi_preload.so" "${args[@]}" --timeout 600 \
        -- ./lumoswitch -u -d -o "$dir/pkg/report.xml" >"$dir/stdout.txt" 2>"$dir/stderr.txt" ||
        status=$?
    echo "$status" >"$dir/exit"
}

# The CDBs of a trace, one per line: the bytes after "cdb=".
cdbs_of() { # trace [dev]
    awk -v dev="${2:-}" '
        dev != "" && index($0, " dev=" dev " ") == 0 { next }
        { on = 0; out = ""
          for (i = 1; i <= NF; i++) {
              if ($i ~ /^cdb=/) { on = 1; out = substr($i, 5); continue }
              if (on && $i ~ /^[0-9a-f][0-9a-f]$/) { out = out " " $i } else if (on) { break }
          }
          if (out != "") print out }' "$1" 2>/dev/null
}

compare_cdbs() { # label handler-trace sim-trace dev
    local d="$results/scsi"
    # The handler also sees what the library resent after a unit attention;
    # the simulated library keeps that inside.
    if diff -u <(grep -v 'sense=6/' "$2" 2>/dev/null | cdbs_of /dev/stdin) \
        <(cdbs_of "$3" "$4") >"$d/compare-$1.diff"; then
        pass "scsi: $1: CDBs the switch saw identical to the simulated library's trace" \
            "($(cdbs_of "$3" "$4" | wc -l) commands)"
    else
        fail "scsi: $1: CDBs differ (kernel target -, simulated library +):"
        sed 's/^/    /' "$d/compare-$1.diff" | head -30
    fi
}

report_count() { # report text
    { grep -o "$2" "$1" 2>/dev/null || true; } | wc -l
}

judge_scsi() {
    local d="$results/scsi" g="$results/scsi/guest" c
    for c in no-switch target-setup backend-list unprivileged readbuffer-alloc readbuffer-full readbuffer-raw-1048576 \
        readbuffer-raw-60 \
        inventory-run update-happy-run sg-inq \
        sg-vpd sg-write-buffer benchmark update-faults-run update-vanish-run debug-list \
        debug-attention debug-attention-library debug-vpd debug-readbuffer debug-timeout debug-after; do
        guest_check scsi "$c" || true
    done
    [[ "$(guest_detail scsi no-switch)" == "controllers=0; exit=0" ]] &&
        [[ "$(report_count "$g/inventory-none.xml" "<Device")" == 0 ]] &&
        pass "scsi: no sg device of a switch type: no controller, an inventory without devices" ||
        fail "scsi: before the switches: $(guest_detail scsi no-switch)"
    local list
    list=$(guest_detail scsi backend-list)
    [[ "$list" == *"ctrl=0x05000000 dev=0 type=13"*"ctrl=0x05000000 dev=1 type=13"* ]] &&
        pass "scsi: the library lists both switches behind controller 0x05000000" ||
        fail "scsi: library listing: $list"
    [[ "$(guest_detail scsi unprivileged)" == "rc=0x8106 "* ]] &&
        pass "scsi: an unprivileged caller gets the open-refused result, nothing sent" ||
        fail "scsi: unprivileged caller: $(guest_detail scsi unprivileged)"
    [[ "$(guest_detail scsi readbuffer-alloc)" == "rc=0x0 status=0 len=16 "* ]] &&
        pass "scsi: program's READ BUFFER (allocation 3C0000h, 60-byte buffer) answered with 16 bytes" ||
        fail "scsi: READ BUFFER: $(guest_detail scsi readbuffer-alloc)"
    [[ "$(guest_detail scsi inventory-run)" == "exit=0" ]] || fail "scsi: inventory run failed"
    local n
    n=$(report_count "$g/inventory.xml" 'version="1.2.10.0"')
    [[ "$n" == 2 ]] && pass "scsi: inventory lists both switches with revision 1.2.10.0" ||
        fail "scsi: inventory has $n switches with revision 1.2.10.0"

    # The whole update on the kernel's drivers for both halves.
    local payload="$d/payload"
    make_payload "$payload"
    [[ "$(guest_detail scsi update-happy-run)" == exit=0* ]] ||
        fail "scsi: update run: $(guest_detail scsi update-happy-run)"
    n=$(report_count "$g/update-happy.xml" "The firmware update was successful. The new firmware will be activated on LUMO Switch upon power cycle of the device or system. Rebooting")
    [[ "$n" == 2 ]] && pass "scsi: update report: both switches updated, power cycle staged" ||
        fail "scsi: update report has $n staged successes"
    local i
    for i in 0 1; do
        cmp -s "$payload/lumo_sw_1.4.8.bin" "$g/update-happy-received$i.bin" &&
            pass "scsi: switch $((i + 1)) received the payload byte for byte" ||
            fail "scsi: switch $((i + 1)) image differs from the payload"
    done
    sim_storelib_run happy "$root/tests/vm/scsi/switches.conf"
    for i in 0 1; do
        compare_cdbs "happy-switch$((i + 1))" "$g/update-happy-trace$i.log" \
            "$d/sim-happy/pkg/storelib_trace.log" "$i"
    done
    [[ "$(guest_detail scsi sg-inq)" == *"LUMO PCIe Switch"* ]] ||
        fail "scsi: sg_inq did not show the product text"
    [[ "$(guest_detail scsi sg-vpd)" == *"PX1620SW1"* ]] ||
        fail "scsi: sg_vpd did not show the serial"
    local bench
    bench=$(guest_detail scsi benchmark)
    [[ "$bench" == *"rc=0 image=intact sg_write_buffer="*"rc=0 image=intact"* ]] &&
        pass "scsi: 16 MiB download benchmark: $bench" || fail "scsi: benchmark: $bench"

    # Faults.
    n=$(report_count "$g/update-faults.xml" "ERROR: Failed to Update Firmware")
    [[ "$n" == 1 ]] && pass "scsi: CHECK CONDITION at chunk 2 reported as a failed update" ||
        fail "scsi: fault report has $n failed updates"
    n=$(report_count "$g/update-faults.xml" "Rebooting the system will perform")
    [[ "$n" == 1 ]] && pass "scsi: only the switch whose image arrived gets the power cycle" ||
        fail "scsi: fault report has $n staged successes"
    cmp -s <(head -c 32768 "$payload/lumo_sw_1.4.8.bin") "$g/update-faults-received0.bin" &&
        pass "scsi: switch 1 kept only the chunk before the rejected one" ||
        fail "scsi: switch 1 image after the rejected chunk is $(stat -c %s "$g/update-faults-received0.bin" 2>/dev/null) bytes"
    cmp -s "$payload/lumo_sw_1.4.8.bin" "$g/update-faults-received1.bin" &&
        pass "scsi: switch 2 image intact after the unit attention" ||
        fail "scsi: switch 2 image damaged after the unit attention"
    if awk '/sense=6\/29\/01/ { ua = $1; next } ua != "" { exit !($1 == ua) } END { if (ua == "") exit 1 }' \
        "$g/update-faults-trace1.log" 2>/dev/null; then
        pass "scsi: unit attention on chunk 1 answered by resending the same CDB"
    else
        fail "scsi: no resend after the unit attention on switch 2"
    fi
    sim_storelib_run faults "$root/tests/vm/scsi/faults.conf"
    for i in 0 1; do
        compare_cdbs "faults-switch$((i + 1))" "$g/update-faults-trace$i.log" \
            "$d/sim-faults/pkg/storelib_trace.log" "$i"
    done
    grep -q "error from storelibIT, result = 33029" "$g/update-vanish-debug.log" 2>/dev/null &&
        pass "scsi: the removed switch's next chunk got the library's device-gone result (8105)" ||
        fail "scsi: no device-gone result in the program's log after the removal"
    n=$(report_count "$g/update-vanish.xml" "ERROR: Failed to Update Firmware")
    [[ "$n" == 1 ]] && pass "scsi: switch removed mid-download reported as failed ($(guest_detail scsi update-vanish-run))" ||
        fail "scsi: vanish report has $n failed updates"

    # The kernel's own peer.
    local dl
    dl=$(guest_detail scsi debug-list)
    [[ "$dl" =~ ctrl=0x0500000[1-9]\ dev=[0-9]+\ type=13 ]] &&
        pass "scsi: scsi_debug's type-13 devices listed behind their own controller" ||
        fail "scsi: scsi_debug devices not listed: $dl"
    [[ "$(guest_detail scsi debug-vpd)" == "rc=0x0 status=0 "* ]] ||
        fail "scsi: scsi_debug VPD page: $(guest_detail scsi debug-vpd)"
    [[ "$(guest_detail scsi debug-attention)" =~ sense=70..06.{18}3f16 ]] &&
        pass "scsi: scsi_debug raises microcode changed (3Fh/16h) after WRITE BUFFER mode 05h" ||
        fail "scsi: scsi_debug attention: $(guest_detail scsi debug-attention)"
    [[ "$(guest_detail scsi debug-attention-library)" == "rc=0x0 status=0 "* ]] &&
        pass "scsi: the library resends through scsi_debug's attention: MODE SENSE answered GOOD" ||
        fail "scsi: library after scsi_debug's attention: $(guest_detail scsi debug-attention-library)"
    [[ "$(guest_detail scsi debug-readbuffer)" =~ ^rc=0x0\ status=2\ .*sense=70..05 ]] &&
        pass "scsi: scsi_debug refuses READ BUFFER with CHECK CONDITION, ILLEGAL REQUEST" ||
        fail "scsi: scsi_debug READ BUFFER: $(guest_detail scsi debug-readbuffer)"
    [[ "$(guest_detail scsi debug-timeout)" =~ ^rc=0x810[79] ]] &&
        pass "scsi: ignored command is a library failure: $(guest_detail scsi debug-timeout)" ||
        fail "scsi: scsi_debug timeout: $(guest_detail scsi debug-timeout)"
}

run_scenario() { # name kver
    local name="$1" kver="$2" script=""
    case "$name" in
    probe) script="" ;;
    update) script="$root/sim/ipmi/scenarios/happy.script" ;;
    silent) script="$root/tests/vm/scenarios/silent-once.script" ;;
    scsi) script="$root/sim/ipmi/scenarios/happy.script" ;;
    record) script="$root/sim/ipmi/scenarios/happy.script" ;;
    *) die "unknown scenario $name" ;;
    esac
    boot_guest "$name" "$script" "$kver" || return 0
    "judge_$name"
}

# shellcheck source=vm/record-roundtrip-host.sh
source "$root/scripts/vm/record-roundtrip-host.sh"

# --- main ----------------------------------------------------------------------------
ensure_packages
ensure_kernel
kver=$(kernel_version)
for f in bin/lumoswitch bin/simipmi_extbmc bin/vm_ipmi_probe lib/libstorelibit.so \
    lib/libstorelibit.so.07 lib/storelib_topology.conf lib/libsimipmi_preload.so \
    bin/simstorelib_tcmu bin/vm_sg_probe lib/libstorelibit_sg.so lib/liblumorecord_storelibit.so \
    lib/liblumorecord_ipmi.so bin/lumorecord-summary; do
    [[ -e "$build/$f" ]] || die "$build/$f is not built"
done
mkdir -p "$results"
t_img=$(now)
build_image "$kver"
echo "vm-test: kernel $kver, initramfs $(du -h "$vm/initrd.gz" | cut -f1) built in $(elapsed "$t_img")s"

for s in "${scenarios[@]}"; do
    run_scenario "$s" "$kver"
done

echo "vm-test: whole run took $(elapsed "$t_start")s"
for s in "${scenarios[@]}"; do
    [[ -f "$results/$s/timing" ]] && echo "vm-test: $s: $(cat "$results/$s/timing")"
done
if ((failures)); then
    echo "vm-test: $failures check(s) failed; logs in $results" >&2
    exit 1
fi
echo "vm-test: all scenarios passed"
