#!/bin/bash
# scripts/sign-package.sh PACKAGE_DIR CERT KEY
#
# Writes PACKAGE_DIR/package.jcat: for every file of the package that the
# program reads, loads or runs (package.xml, every file under payload/,
# libstorelibit.so, ESX/libstorelibit.so, doRPM.sh, rpm_rc and the two device
# rule files, those the folder holds), a SHA-256 checksum and a PKCS#7
# signature with CERT and KEY, made by jcat-tool. Item IDs are the paths in
# the package folder ("payload/lumo_sw1.bin"). CERT needs the key usage
# digitalSignature (README: "Signing a package"). An earlier package.jcat is
# replaced whole; the new one is checked against CERT before it takes its
# place.
set -euo pipefail

die() {
    echo "sign-package.sh: $*" >&2
    exit 1
}

[[ $# -eq 3 ]] || die "usage: sign-package.sh PACKAGE_DIR CERT KEY"
command -v jcat-tool >/dev/null || die "jcat-tool is missing (Debian package jcat)"
pkg=$(cd "$1" && pwd) || die "no package folder $1"
cert=$(readlink -m "$2")
key=$(readlink -m "$3")
[[ -f "$cert" ]] || die "no certificate $2"
[[ -f "$key" ]] || die "no key $3"

cd "$pkg"
items=()
for name in package.xml libstorelibit.so ESX/libstorelibit.so doRPM.sh rpm_rc \
    98-secupdusb.rules 00-secupd-vantor.rules; do
    if [[ -L "$name" ]]; then
        die "$name is a symbolic link; the program would refuse it"
    fi
    [[ -f "$name" ]] && items+=("$name")
done
if [[ -d payload ]]; then
    if [[ -n "$(find payload -type l -print -quit)" ]]; then
        die "payload/ holds a symbolic link; the program would refuse it"
    fi
    while IFS= read -r -d '' image; do
        items+=("$image")
    done < <(find payload -type f -print0 | sort -z)
fi
[[ -f package.xml ]] || die "$pkg has no package.xml"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Run from the package folder with relative names: jcat-tool takes each name
# as it is given for the item ID.
for item in "${items[@]}"; do
    jcat-tool self-sign "$work/package.jcat" "$item" --kind sha256 >/dev/null ||
        die "cannot write the checksum of $item"
    jcat-tool sign "$work/package.jcat" "$item" "$cert" "$key" >/dev/null ||
        die "cannot sign $item"
done

mkdir "$work/trust"
cp "$cert" "$work/trust/signer.pem"
if ! jcat-tool verify "$work/package.jcat" --public-keys "$work/trust" >"$work/verify.txt" 2>&1; then
    cat "$work/verify.txt" >&2
    die "the new manifest does not verify against $2; package.jcat left as it was"
fi

# Beside its final name, then renamed over it: a reader never sees half a file.
cp "$work/package.jcat" "$pkg/.package.jcat.new"
chmod 0644 "$pkg/.package.jcat.new"
mv -f "$pkg/.package.jcat.new" "$pkg/package.jcat"
echo "sign-package.sh: signed ${#items[@]} files into $pkg/package.jcat"
