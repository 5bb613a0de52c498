# shellcheck shell=bash
# The guest's initramfs: busybox, the kernel modules, the guest scripts, and
# three package directories (the simulated storage library's, the SCSI
# generic library's and the recording one of the record scenario), packed
# into $VM_DIR/initrd.gz.

# Copies a binary and every shared library ldd names, at the same paths.
copy_with_libs() { # image source destdir-in-image
    local img="$1" src="$2" dest="$3" lib
    install -D -m 0755 "$src" "$img$dest/$(basename "$src")"
    ldd "$src" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
        while read -r lib; do
            [[ -e "$img$lib" ]] || install -D -m 0755 "$(readlink -f "$lib")" "$img$lib"
        done
}

make_payload() { # dir
    mkdir -p "$1"
    # Three 32 KiB chunks.
    awk 'BEGIN { for (i = 0; i < 4096; i++) printf "LUMO-SWITCH-IMAGE-1.4.8\n" }' \
        >"$1/lumo_sw_1.4.8.bin"
}

# A kernel module and, through its "depends=" field, every module it needs,
# at their paths under the image's module tree.
add_module() { # image kver name
    local img="$1" kver="$2" name="$3" kmods="$VM_CACHE/kernel/lib/modules/$2" f dep rel
    f=$(find "$kmods/kernel" -name "$name.ko" -o -name "$(echo "$name" | tr _ -).ko" | head -n1)
    [[ -n "$f" ]] || die "kernel module $name missing from the kernel package"
    rel="${f#"$kmods/"}"
    [[ -e "$img/lib/modules/$kver/$rel" ]] && return
    install -D -m 0644 "$f" "$img/lib/modules/$kver/$rel"
    for dep in $(tr '\0' '\n' <"$f" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$img" "$kver" "$dep"
    done
}

# The package directory: the unmodified program with the libraries it links,
# the simulated storage library it loads from its directory, the package
# descriptor and the payload image.
add_ipmi_package() { # image
    local img="$1" pkg=/opt/lumo
    copy_with_libs "$img" "$VM_BUILD/bin/lumoswitch" "$pkg"
    copy_with_libs "$img" "$VM_BUILD/lib/libstorelibit.so" "$pkg"
    install -m 0755 "$VM_BUILD/lib/libstorelibit.so.07" "$img$pkg/"
    install -m 0644 "$VM_BUILD/lib/storelib_topology.conf" "$img$pkg/"
    install -m 0644 "$VM_ROOT/tests/vm/package/package.xml" "$img$pkg/"
    make_payload "$img$pkg/payload"
}

# The kernel's SCSI target and generic driver, the switch handler, sg3-utils
# and a second package directory whose storage library is the SCSI generic
# one (shipped as ./libstorelibit.so, as a package would).
add_scsi_stack() { # image kver
    local img="$1" kver="$2" m t
    for m in sg scsi_debug configfs target_core_mod target_core_user tcm_loop uio; do
        add_module "$img" "$kver" "$m"
    done
    /bin/busybox depmod -b "$img" "$kver" || die "depmod failed"
    copy_with_libs "$img" "$VM_BUILD/bin/simstorelib_tcmu" /usr/bin
    copy_with_libs "$img" "$VM_BUILD/bin/vm_sg_probe" /usr/bin
    mv "$img/usr/bin/vm_sg_probe" "$img/usr/bin/sg_probe"
    for t in sg_inq sg_vpd sg_write_buffer sg_raw; do
        copy_with_libs "$img" "$(command -v "$t")" /usr/bin
    done
    local pkg=/opt/lumo-sg
    copy_with_libs "$img" "$VM_BUILD/bin/lumoswitch" "$pkg"
    copy_with_libs "$img" "$VM_BUILD/lib/libstorelibit_sg.so" "$pkg"
    mv "$img$pkg/libstorelibit_sg.so" "$img$pkg/libstorelibit.so"
    install -m 0644 "$VM_ROOT/tests/vm/package/package.xml" "$img$pkg/"
    install -D -m 0644 -t "$img$pkg/scsi" "$VM_ROOT/tests/vm/scsi/switches.conf" \
        "$VM_ROOT/tests/vm/scsi/faults.conf"
    make_payload "$img$pkg/payload"
}

# The recording package: the program, the storage recorder as
# ./libstorelibit.so, the SCSI generic library in the root-owned real/ folder,
# and the IPMI recorder outside the package, as a support engineer brings it.
add_record_package() { # image
    local img="$1" pkg=/opt/lumo-rec
    copy_with_libs "$img" "$VM_BUILD/bin/lumoswitch" "$pkg"
    copy_with_libs "$img" "$VM_BUILD/lib/liblumorecord_storelibit.so" "$pkg"
    mv "$img$pkg/liblumorecord_storelibit.so" "$img$pkg/libstorelibit.so"
    copy_with_libs "$img" "$VM_BUILD/lib/libstorelibit_sg.so" "$pkg/real"
    chmod 0755 "$img$pkg/real"
    copy_with_libs "$img" "$VM_BUILD/lib/liblumorecord_ipmi.so" /usr/lib/lumorecord
    install -m 0644 "$VM_ROOT/tests/vm/package/package.xml" "$img$pkg/"
    make_payload "$img$pkg/payload"
}

build_image() { # kver
    local kver="$1" img="$VM_DIR/image"
    rm -rf "$img"
    mkdir -p "$img"/{bin,sbin,usr/bin,proc,sys,dev,tmp,opt/lumo}

    install -m 0755 /bin/busybox "$img/bin/busybox"
    local a
    for a in $(/bin/busybox --list); do
        [[ "$a" == busybox ]] || ln -sf busybox "$img/bin/$a"
    done

    # The modules at the path the program's modprobe searches, with their
    # dependency list made for that tree alone by the guest's own depmod.
    local kmods="$VM_CACHE/kernel/lib/modules/$kver"
    local dst="$img/lib/modules/$kver/kernel/drivers/char/ipmi"
    mkdir -p "$dst"
    local m
    for m in ipmi_msghandler ipmi_devintf ipmi_si; do
        install -m 0644 "$kmods/kernel/drivers/char/ipmi/$m.ko" "$dst/" ||
            die "kernel module $m missing from the kernel package"
    done
    /bin/busybox depmod -b "$img" "$kver" || die "depmod failed"

    # A host has udev's control tool (busybox has none); the program reloads
    # the rules through it, as it does under the sandbox's stand-in, which
    # the update and silent scenarios compare with.
    printf '#!/bin/sh\nexit 0\n' >"$img/sbin/udevadm"
    chmod 0755 "$img/sbin/udevadm"

    install -m 0755 "$VM_BUILD/bin/vm_ipmi_probe" "$img/usr/bin/ipmi_probe"
    # The crash scenario holds a run before its report is renamed into place.
    copy_with_libs "$img" "$VM_BUILD/tests/e2e/libe2e_holdrename.so" /usr/lib/lumotest
    install -m 0755 "$VM_ROOT/scripts/vm/guest-init.sh" "$img/init"
    install -D -m 0644 -t "$img/lib/vmtest" "$VM_ROOT"/scripts/vm/guest/*.sh

    add_ipmi_package "$img"
    add_scsi_stack "$img" "$kver"
    add_record_package "$img"

    (cd "$img" && find . -print0 | cpio --null -o -H newc --quiet | gzip -1) >"$VM_DIR/initrd.gz" ||
        die "cannot pack the initramfs"
}
