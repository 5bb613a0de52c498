#!/bin/bash
# scripts/simulated-fleet.sh COMMAND [ARGS...]
#
# Runs COMMAND (an ansible-playbook command line) while eight simulated
# servers stand ready in build/simulated-fleet/hosts.ini: overlay roots of
# this machine reached through the chroot connection, each with two simulated
# switches at version 1.2.10.0 (host3's already at 1.3.0.0) and a simulated
# management controller, as the fleet test makes them (tests/fleet/). They
# live in a private mount namespace and are gone when COMMAND ends; nothing
# on this machine changes. COMMAND runs from the current folder with the
# collection on ANSIBLE_COLLECTIONS_PATH. Needs root.
#
#   scripts/make-package.sh --library simulator build/package
#   scripts/simulated-fleet.sh ansible-playbook -i build/simulated-fleet/hosts.ini \
#       ansible/rollout.yml -e lumoswitch_package_src=$PWD/build/package
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
(($#)) || { echo "usage: simulated-fleet.sh COMMAND [ARGS...]" >&2; exit 2; }
"$root/scripts/deps.sh"
"$root/scripts/build.sh" "$root/build" -- lumoswitch storelibit_sim simipmi_preload >/dev/null
exec /usr/bin/python3 "$root/tests/fleet/fleet_test.py" --serve \
    --program "$root/build/bin/lumoswitch" --storelib "$root/build/lib/libstorelibit.so" \
    --preload "$root/build/lib/libsimipmi_preload.so" --scratch "$root/build/simulated-fleet" \
    -- "$@"
