#!/bin/bash
# Builds the program and shows the whole story against the simulated hardware:
# an inventory run, an update run that downloads the packaged images into the
# simulated switches and stages the power cycle through the simulated
# management controller, and both reports. Everything runs in the end-to-end
# sandbox (private mount and PID namespaces over a throw-away overlay of the
# root), so trying the tool never changes the host it is tried on.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/deps.sh
# The demo package, as scripts/make-package.sh assembles any package (here
# with the simulated storage library and two generated images), beside the
# simulators' topology and controller script. It builds what it ships in
# build/, configured as scripts/test.sh configures it.
scripts/build.sh build -- simipmi_preload >/dev/null
tmp=$(mktemp -d /tmp/lumoswitch-demo.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
demo="$tmp/package"
scripts/make-package.sh --library simulator "$demo" >/dev/null
cp scripts/demo/storelib_topology.conf scripts/demo/controller.script "$demo/"

sandbox() {
    tests/e2e/sandbox.sh --pkg "$demo" --preload "$root/build/lib/libsimipmi_preload.so" \
        --env SIMIPMI_SCRIPT="$demo/controller.script" --env SIMIPMI_LOG="$demo/controller.log" \
        --env SIMIPMI_STATE="$demo/controller.state" --env SIMIPMI_TIME_SCALE=1000 \
        --env SIMIPMI_LOG_APPEND=1 \
        --standin lsmod --standin modprobe --standin rmmod --standin udevadm --standin rpm \
        --standin umount --standin chmod -- "$@"
}

echo "== ./lumoswitch -h"
sandbox ./lumoswitch -h
echo
echo "== ./lumoswitch -i -o inventory.xml"
sandbox ./lumoswitch -i -o inventory.xml
cat "$demo/inventory.xml"; echo
echo
echo "== ./lumoswitch -u -o update.xml"
sandbox ./lumoswitch -u -o update.xml
cat "$demo/update.xml"; echo
echo
echo "== images received by the simulated switches"
for pair in lumo_sw1.bin:received_05000000_8.bin lumo_sw2.bin:received_05000000_9.bin; do
    sent=${pair%%:*} got=${pair#*:}
    if cmp -s "$demo/payload/$sent" "$demo/$got"; then
        echo "$sent: received intact ($got)"
    else
        echo "$sent: NOT received intact"
    fi
done
grep -c WRITE_BUFFER "$demo/storelib_trace.log" | sed 's/^/WRITE BUFFER commands sent: /'
echo
echo "== requests the simulated management controller received"
cat "$demo/controller.log"
echo
echo "== its final state"
cat "$demo/controller.state"
echo
echo "== system tools the program ran (recorded by stand-ins)"
cat "$demo/standins.log"
