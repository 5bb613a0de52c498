#!/bin/bash
# Lays out a package directory as it is unpacked on a server, with the
# simulated storage library in place of the vendor's and the two simulated
# switches of storelib_topology.conf listed in package.xml:
#   DEST/lumoswitch, libstorelibit.so, storelib_topology.conf, package.xml,
#   payload/sw1.bin (100000 bytes), payload/sw2.bin (65536 bytes)
#
#   sim/storelib/make_demo_package.sh BUILD_DIR DEST
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$(cd "${1:?usage: make_demo_package.sh BUILD_DIR DEST}" && pwd)"
dest="${2:?usage: make_demo_package.sh BUILD_DIR DEST}"

mkdir -p "$dest/payload"
cp "$build/bin/lumoswitch" "$build/lib/libstorelibit.so" "$here/storelib_topology.conf" "$dest/"
# Component IDs of the two switches' serials in the built-in table.
id_of() { grep -v '^#' "$root/cm_LUMOSwitch/data/platform_serials.csv" | grep "^$1," | cut -d, -f2; }
cat >"$dest/package.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<SoftwareComponent>
  <SupportedDevices>
    <Device componentID="$(id_of PX1620SW1)">
      <Display>LUMO Switch Board switch 1</Display>
      <PayloadConfiguration><Image filename="sw1.bin"/></PayloadConfiguration>
    </Device>
    <Device componentID="$(id_of PX1620SW2)">
      <Display>LUMO Switch Board switch 2</Display>
      <PayloadConfiguration><Image filename="sw2.bin"/></PayloadConfiguration>
    </Device>
  </SupportedDevices>
</SoftwareComponent>
XML
head -c 100000 /dev/urandom >"$dest/payload/sw1.bin"
head -c 65536 /dev/urandom >"$dest/payload/sw2.bin"
# As root unpacks a package: the program refuses files others could change.
chmod -R go-w "$dest"
