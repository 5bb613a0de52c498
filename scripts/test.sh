#!/bin/bash
# Builds and runs every test: the normal build (unit and end-to-end), then the
# unit tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/deps.sh

jobs=$(nproc)

# build/ as scripts/run.sh configures it (scripts/build.sh: warnings are
# errors, one compile job per core).
scripts/build.sh build
scripts/build.sh build-asan -DLUMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== unit tests under AddressSanitizer/UndefinedBehaviorSanitizer"
ctest --test-dir build-asan -L unit -j"$jobs" --output-on-failure
echo "== all tests"
ctest --test-dir build -LE vm -j"$jobs" --output-on-failure
if ctest --test-dir build -N -L vm | grep -q 'Total Tests: [1-9]'; then
    echo "== virtual machine tests"
    ctest --test-dir build -L vm --output-on-failure
fi
