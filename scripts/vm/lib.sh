# shellcheck shell=bash
# Shared by the parts of scripts/vm-test.sh: clock, verdicts, failure count.
# The configuration the driver sets once, and every part reads:
#   VM_ROOT     top of the source tree       VM_BUILD    build directory
#   VM_DIR      <build>/vm                   VM_CACHE    <build>/vm/cache
#   VM_RESULTS  <build>/vm/results
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN{printf "%.1f", b-a}'; }
exceeds() { awk -v e="$1" -v l="$2" 'BEGIN{exit !(e>l)}'; } # seconds limit
die() { echo "vm-test: $*" >&2; exit 1; }

VM_FAILURES=0
fail() { echo "vm-test: FAIL $*"; VM_FAILURES=$((VM_FAILURES + 1)); }
pass() { echo "vm-test: ok   $*"; }
