#!/bin/bash
# Every shell script of the tree through shellcheck (scripts/deps.sh installs
# it); ctest runs this as the lint label.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
command -v shellcheck >/dev/null ||
    { echo "lint: shellcheck is not installed (scripts/deps.sh installs it)" >&2; exit 1; }
cd "$root"
mapfile -t files < <(find scripts sim tests -name '*.sh' -type f | sort)
shellcheck -x "${files[@]}"
echo "lint: ${#files[@]} shell scripts clean"
