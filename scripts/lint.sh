#!/bin/bash
# scripts/lint.sh [shell|ansible]: every shell script of the tree through
# the shell linter, the Ansible collection through ansible-lint
# (scripts/deps.sh installs both); without an argument, both. ctest runs
# each as the lint label.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
what=${1:-all}

if [ "$what" = shell ] || [ "$what" = all ]; then
    command -v shellcheck >/dev/null ||
        { echo "lint: shellcheck is not installed (scripts/deps.sh installs it)" >&2; exit 1; }
    mapfile -t files < <(find scripts sim tests -name '*.sh' -type f | sort)
    shellcheck -x "${files[@]}"
    echo "lint: ${#files[@]} shell scripts clean"
fi

if [ "$what" = ansible ] || [ "$what" = all ]; then
    command -v ansible-lint >/dev/null ||
        { echo "lint: ansible-lint is not installed (scripts/deps.sh installs it)" >&2; exit 1; }
    # The collection on the path, so that its module, role and filters are
    # checked as what they are. One folder, with a final slash: the lint's
    # own collection finder (ansible-compat of Debian 12) looks in the folder
    # above the last one named.
    export ANSIBLE_COLLECTIONS_PATH="$root/ansible/"
    # Its caches stay out of the user's home and the source tree.
    XDG_CACHE_HOME="$(mktemp -d /tmp/lumoswitch-lint.XXXXXX)"
    export XDG_CACHE_HOME
    trap 'rm -rf "$XDG_CACHE_HOME"' EXIT
    (cd "$root/ansible/ansible_collections/lumo/lumoswitch" && ansible-lint --offline --nocolor -q)
    # The playbook the README starts from the top of the tree.
    ansible-lint --offline --nocolor -q ansible/rollout.yml
    echo "lint: the Ansible collection and ansible/rollout.yml are ansible-lint clean"
    # Operators read the plugins' documentation with ansible-doc, which
    # ansible-lint does not parse: every plugin's must show.
    for type in module filter callback; do
        listing=$(ansible-doc -t "$type" -l lumo.lumoswitch)
        if grep -q UNDOCUMENTED <<<"$listing"; then
            echo "lint: undocumented $type plugins: $listing" >&2
            exit 1
        fi
        while read -r name _; do
            ansible-doc -t "$type" "$name" >/dev/null ||
                { echo "lint: ansible-doc cannot show the $type $name" >&2; exit 1; }
        done <<<"$listing"
    done
    echo "lint: ansible-doc shows every plugin of the collection"
fi
