# shellcheck shell=bash
# update: the whole program on the kernel's IPMI driver, compared with the
# same run under the preload stand-in.
judge_update() { # controller-script
    judge_program update
    compare_with_preload update "$1"
}
