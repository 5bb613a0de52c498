#!/bin/bash
# Builds the program and shows what it does: the help text and an inventory run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/deps.sh
scripts/build.sh build
build/bin/lumoswitch -h || true
