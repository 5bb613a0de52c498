#!/bin/bash
# scripts/build.sh <build dir> [extra cmake arguments...] [-- target...]
#
# The one way the scripts configure and build a tree, so that run.sh and
# test.sh, which share build/, never compile it twice: Ninja, warnings as
# errors (what CI checks), and at most one compile job per core (Ninja's
# default runs two more than there are cores). With targets after "--" only
# those are built; without, everything.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
args=()
while (($#)) && [ "$1" != -- ]; do
    args+=("$1"); shift
done
targets=()
if (($#)); then
    shift
    targets=("$@")
fi
cmake -S "$root" -B "$dir" -G Ninja -DLUMO_WERROR=ON "${args[@]}" >/dev/null
if ((${#targets[@]})); then
    cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
else
    cmake --build "$dir" -j "$(nproc)"
fi
