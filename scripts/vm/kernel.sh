# shellcheck shell=bash
# The guest's kernel: the package linux-image-amd64 points to, unpacked once
# into the cache.
ensure_kernel() {
    local unpacked="$VM_CACHE/kernel"
    if [[ -f "$unpacked/.complete" ]]; then
        return
    fi
    local pkg
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/{print $2; exit}') || true
    if [[ -z "$pkg" ]]; then
        apt_update_once
        pkg=$(apt-cache depends linux-image-amd64 |
            awk '/Depends: linux-image-[0-9]/{print $2; exit}')
    fi
    [[ -n "$pkg" ]] || die "cannot tell which kernel package linux-image-amd64 depends on"
    echo "vm-test: downloading $pkg"
    rm -rf "$VM_CACHE/deb" "$unpacked"
    mkdir -p "$VM_CACHE/deb"
    (cd "$VM_CACHE/deb" && apt-get download "$pkg" >/dev/null 2>&1) ||
        (apt_update_once && cd "$VM_CACHE/deb" && apt-get download "$pkg" >/dev/null) ||
        die "apt-get download $pkg failed"
    dpkg -x "$VM_CACHE"/deb/*.deb "$unpacked" || die "dpkg -x of $pkg failed"
    rm -rf "$VM_CACHE/deb"
    touch "$unpacked/.complete"
}

kernel_version() {
    local k
    for k in "$VM_CACHE"/kernel/boot/vmlinuz-*; do
        [[ -e "$k" ]] || break
        echo "${k##*/vmlinuz-}"
        return
    done
    die "no kernel in $VM_CACHE/kernel/boot"
}
