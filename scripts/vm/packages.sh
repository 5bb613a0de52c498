# shellcheck shell=bash
# Debian packages the VM test needs on the host, installed when missing.
VM_APT_UPDATED=0
apt_update_once() {
    if ((VM_APT_UPDATED == 0)); then
        apt-get update -qq >/dev/null || die "apt-get update failed"
        VM_APT_UPDATED=1
    fi
}

ensure_packages() {
    local missing=() p
    for p in qemu-system-x86 busybox-static cpio sg3-utils; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "vm-test: installing ${missing[*]}"
        apt_update_once
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null || die "apt-get install ${missing[*]} failed"
    fi
}
