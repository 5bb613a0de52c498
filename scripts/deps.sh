#!/bin/bash
# Installs the Debian packages the build and tests need; silent when all are
# present. Extra package names may be passed as arguments. ansible (with
# ansible-core and the community collections) drives the fleet test, and
# scripts/lint.sh runs shellcheck over the shell scripts. libjcat-dev reads
# signed package manifests; jcat (jcat-tool) writes them
# (scripts/sign-package.sh), and the tests make their certificates with
# openssl and, for an expired one, gnutls-bin's certtool.
set -euo pipefail
pkgs=(cmake ninja-build g++ pkg-config libxml2-dev libgtest-dev libgmock-dev libsgutils2-dev nettle-dev
    libjcat-dev jcat openssl gnutls-bin ansible ansible-lint shellcheck "$@")
missing=()
for p in "${pkgs[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
