#!/bin/bash
# Download benchmarks for a 16 MiB image:
#   1. CPU time per MiB through the simulated storage library, next to reading
#      the file and copying it once (bench_download);
#   2. the crash journal an update keeps, wall-clock, synced and not
#      (bench_journal; on /var/tmp, the file system of /var/lib here);
#   3. peak resident memory and CPU time of the real program updating one
#      simulated switch with that image, run in the end-to-end sandbox, once
#      unsigned and once signed (scripts/sign-package.sh, a signer made by
#      openssl now) on a host that trusts the signer, and the CPU the
#      signature check added.
# Needs root (the sandbox) and a build configured with -DLUMO_BENCH=ON:
#   scripts/build.sh build-bench -DLUMO_BENCH=ON -DCMAKE_BUILD_TYPE=Release
#   tests/bench/run_bench.sh build-bench
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: run_bench.sh BUILD_DIR}" && pwd)"

"$build/bin/bench_download" --benchmark_min_time=1
"$build/bin/bench_journal"

pkg=$(mktemp -d /tmp/lumo-bench-pkg.XXXXXX)
trap 'rm -rf "$pkg"' EXIT
mkdir "$pkg/payload"
cp "$build/bin/lumoswitch" "$build/lib/libstorelibit.so" "$build/bin/bench_rusage" "$pkg/"
head -c $((16 << 20)) /dev/urandom >"$pkg/payload/image.bin"
row=$(grep -v '^#' "$root/cm_LUMOSwitch/data/platform_serials.csv" | head -1)
key=${row%%,*}
id=${row#*,}
cat >"$pkg/storelib_topology.conf" <<TOPO
controller id=0x05000000
device id=8 type=0x0d serial="$key" product="LUMO PCIe Switch" revision=1.0.0.0
TOPO
cat >"$pkg/package.xml" <<XML
<SoftwareComponent><SupportedDevices><Device componentID="$id"><Display>Bench</Display>
<PayloadConfiguration><Image filename="image.bin"/></PayloadConfiguration></Device>
</SupportedDevices></SoftwareComponent>
XML

standins=()
for tool in lsmod modprobe rmmod insmod depmod udevadm udevcontrol rpm umount esxcli; do
    standins+=(--standin "$tool")
done
# One update in the sandbox; prints bench_rusage's line, fails unless the
# switch received the image intact.
update() {
    rm -f "$pkg/received_05000000_8.bin"
    "$root/tests/e2e/sandbox.sh" --pkg "$pkg" "${standins[@]}" "$@" -- ./bench_rusage ./lumoswitch -u \
        >/dev/null 2>"$pkg/rusage.txt" || true
    grep maxrss_kib "$pkg/rusage.txt"
    if ! cmp -s "$pkg/payload/image.bin" "$pkg/received_05000000_8.bin"; then
        echo "image NOT received intact" >&2
        exit 1
    fi
}
cpu() { sed -n 's/.*user_s=\([0-9.]*\) sys_s=\([0-9.]*\).*/\1 \2/p' | awk '{print $1 + $2}'; }

runs=5
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

keys=$(mktemp -d /tmp/lumo-bench-keys.XXXXXX)
trap 'rm -rf "$pkg" "$keys"' EXIT
mkdir -p "$keys/root/etc/lumoswitch/trust"
openssl req -x509 -newkey rsa:3072 -nodes -days 30 -subj /CN=Bench \
    -addext keyUsage=critical,digitalSignature -keyout "$keys/signer.key" \
    -out "$keys/root/etc/lumoswitch/trust/signer.pem" 2>/dev/null
chmod 0644 "$keys/root/etc/lumoswitch/trust/signer.pem"

# Unsigned and signed runs alternate, so that a busy machine weighs on both.
echo "== lumoswitch -u, one switch, 16 MiB image (image size + 8 MiB = 24576 KiB allowed);"
echo "   $runs runs unsigned, $runs signed on a host that trusts the signer"
: >"$keys/unsigned"
: >"$keys/signed"
for ((i = 1; i <= runs; i++)); do
    rm -f "$pkg/package.jcat"
    line=$(update)
    echo "unsigned: $line"
    cpu <<<"$line" >>"$keys/unsigned"
    "$root/scripts/sign-package.sh" "$pkg" "$keys/root/etc/lumoswitch/trust/signer.pem" \
        "$keys/signer.key" >/dev/null
    line=$(update --root "$keys/root")
    echo "signed:   $line"
    cpu <<<"$line" >>"$keys/signed"
done
echo "image received intact every time"
unsigned=$(median <"$keys/unsigned")
signed=$(median <"$keys/signed")
awk -v u="$unsigned" -v s="$signed" \
    'BEGIN { printf "median CPU (user + sys): unsigned %.3f s, signed %.3f s; the signature check added %.3f s, %.1f %% (goal: at most 10 %%)\n", u, s, s - u, (u > 0 ? 100 * (s - u) / u : 0) }'
