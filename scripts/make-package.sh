#!/bin/bash
# scripts/make-package.sh [options] OUTPUT [SOURCE]
#
# Assembles the package folder lumoswitch runs from (and the Ansible role's
# lumoswitch_package_src): the program, a storage library, package.xml,
# payload/ with the images package.xml names, and the device rule files
# when SOURCE has them. Then checks it the way the program will: every file
# a regular file (no links), owned by the user running this (root for a
# package root runs) and writable by nobody else, in folders nobody else may
# write; package.xml parses and lists devices; every image it names lies in
# payload/ (no "..", no links) and holds at most 16 MiB; the library
# exports the entry point the program looks up.
#
#   SOURCE   a folder with package.xml and the images it names (their
#            "filename" attributes, relative to payload/), and optionally
#            98-secupdusb.rules and 00-secupd-vantor.rules. Without it: the
#            demo package (scripts/demo/package.xml and two generated
#            images, for the simulated hardware).
#   OUTPUT   the package folder to make; it must not exist yet.
#
# Options:
#   --library simulator|sg|FILE  the storage library shipped as
#            libstorelibit.so: the simulated one (build/lib/libstorelibit.so,
#            for trying the tool and the rollout on simulated hosts), the one
#            over the kernel's SCSI generic driver (libstorelibit_sg.so), or
#            a file such as the vendor's library. Required.
#   --build DIR   the build folder (default build/); the program and the
#            chosen library are built there first (scripts/build.sh).
#   --no-build    take them from the build folder as they are (tests do).
#   --sign CERT KEY   sign the package (scripts/sign-package.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

die() {
    echo "make-package.sh: $*" >&2
    exit 1
}

usage="usage: make-package.sh --library simulator|sg|FILE [--build DIR] [--no-build] [--sign CERT KEY] OUTPUT [SOURCE]"
build="$root/build"
library=""
cert=""
key=""
make=yes
positional=()
while (($#)); do
    case "$1" in
    --library) (($# >= 2)) || die "$usage"; library=$2; shift 2 ;;
    --build) (($# >= 2)) || die "$usage"; build=$(readlink -m "$2"); shift 2 ;;
    --no-build) make=no; shift ;;
    --sign) (($# >= 3)) || die "$usage"; cert=$(readlink -m "$2"); key=$(readlink -m "$3"); shift 3 ;;
    -h | --help) echo "$usage"; exit 0 ;;
    -*) die "unknown option $1; $usage" ;;
    *) positional+=("$1"); shift ;;
    esac
done
((${#positional[@]} == 1 || ${#positional[@]} == 2)) || die "$usage"
[[ -n "$library" ]] || die "no storage library chosen (--library); $usage"
out=$(readlink -m "${positional[0]}")
source_dir=""
if ((${#positional[@]} == 2)); then
    source_dir=$(cd "${positional[1]}" && pwd) || die "no source folder ${positional[1]}"
    [[ -f "$source_dir/package.xml" ]] || die "$source_dir has no package.xml"
fi
[[ ! -e "$out" && ! -L "$out" ]] || die "$out exists already; the package is made in a new folder"
if [[ -n "$cert" ]]; then
    [[ -f "$cert" && -f "$key" ]] || die "no certificate $cert or key $key to sign with"
fi

targets=(lumoswitch)
case "$library" in
simulator) targets+=(storelibit_sim); library_file="$build/lib/libstorelibit.so" ;;
sg) targets+=(storelibit_sg); library_file="$build/lib/libstorelibit_sg.so" ;;
*) library_file=$(readlink -m "$library"); [[ -f "$library_file" ]] || die "no library $library" ;;
esac
if [[ $make = yes ]]; then
    "$root/scripts/build.sh" "$build" -- "${targets[@]}" >/dev/null
fi
for file in "$build/bin/lumoswitch" "$library_file"; do
    [[ -f "$file" ]] || die "$file is missing; build it first"
done

# Copies NAME (relative to SOURCE) to the new file DEST, 0644. Every folder on
# the way and the file itself are opened without following a link, and only a
# regular file is copied: a source folder another user prepared cannot make
# root copy one of root's files into the package, where anyone may read it.
copy_in() {
    python3 - "$source_dir" "$1" "$2" <<'EOF'
import os, shutil, stat, sys
source, name, dest = sys.argv[1:]
folder = os.open(source, os.O_RDONLY | os.O_DIRECTORY)
try:
    parts = name.split('/')
    for part in parts[:-1]:
        if part in ('', '.', '..'):
            sys.exit('make-package.sh: %s: not a plain relative name' % name)
        inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=folder)
        os.close(folder)
        folder = inner
    fd = os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=folder)
except OSError as e:
    sys.exit('make-package.sh: %s: %s' % (name, e.strerror))
finally:
    os.close(folder)
with os.fdopen(fd, 'rb') as data:
    if not stat.S_ISREG(os.fstat(data.fileno()).st_mode):
        sys.exit('make-package.sh: %s is not a regular file' % name)
    with open(dest, 'xb') as out:
        shutil.copyfileobj(data, out)
os.chmod(dest, 0o644)
EOF
}

# Made under a temporary name beside OUTPUT and renamed into place when it
# has passed its checks: a folder at OUTPUT is always a whole package.
umask 022
parent=$(dirname "$out")
mkdir -p "$parent"
work=$(mktemp -d "$parent/.make-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -m 755 "$work/payload"
install -m 755 "$build/bin/lumoswitch" "$work/lumoswitch"
install -m 644 "$library_file" "$work/libstorelibit.so"

if [[ -z "$source_dir" ]]; then
    install -m 644 "$root/scripts/demo/package.xml" "$work/package.xml"
    # The same bytes every time: a package made twice is the same package.
    python3 - "$work/payload" <<'EOF'
import os, sys
for name, size, seed in (('lumo_sw1.bin', 100000, 1), ('lumo_sw2.bin', 65536, 2)):
    with open(os.path.join(sys.argv[1], name), 'wb') as f:
        f.write(bytes((i * (2 * seed + 1) * 7919 + (i >> 8) * seed) & 0xFF for i in range(size)))
EOF
    chmod 644 "$work"/payload/*
else
    copy_in package.xml "$work/package.xml" ||
        die "$source_dir/package.xml is not a file of its own"
    for rule in 98-secupdusb.rules 00-secupd-vantor.rules; do
        if [[ -e "$source_dir/$rule" || -L "$source_dir/$rule" ]]; then
            copy_in "$rule" "$work/$rule" || die "$source_dir/$rule is not a file of its own"
        fi
    done
    # Each image package.xml names, from SOURCE into payload/, by the same
    # relative name; a name that would leave payload/ stops here.
    while IFS= read -r name; do
        case "/$name/" in
        */../* | //*) die "package.xml names an image outside payload/: $name" ;;
        esac
        mkdir -p "$work/payload/$(dirname "$name")"
        copy_in "$name" "$work/payload/$name" ||
            die "package.xml names $name, which $source_dir does not hold as a file"
    done < <(python3 - "$work/package.xml" <<'EOF'
import sys, xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except ET.ParseError as e:
    sys.exit('make-package.sh: package.xml does not parse: %s' % e)
for image in root.findall('./SupportedDevices/Device/PayloadConfiguration/Image'):
    if image.get('filename'):
        print(image.get('filename'))
EOF
    )
fi

# The checks the program makes of what it uses.
python3 - "$work" <<'EOF' || die "the package does not pass the program's checks; nothing made"
import os, stat, sys, xml.etree.ElementTree as ET
pkg = sys.argv[1]
me = os.geteuid()
problems = []
for folder, dirs, files in os.walk(pkg):
    for path in [folder] + [os.path.join(folder, n) for n in dirs + files]:
        info = os.lstat(path)
        name = os.path.relpath(path, pkg)
        if stat.S_ISLNK(info.st_mode):
            problems.append('%s is a symbolic link' % name)
        elif not (stat.S_ISREG(info.st_mode) or stat.S_ISDIR(info.st_mode)):
            problems.append('%s is not a regular file' % name)
        if info.st_uid not in (0, me):
            problems.append('%s is not owned by root' % name)
        if info.st_mode & 0o022:
            problems.append('%s is writable by group or others' % name)
try:
    root = ET.parse(os.path.join(pkg, 'package.xml')).getroot()
except ET.ParseError as e:
    root = None
    problems.append('package.xml does not parse: %s' % e)
if root is not None:
    devices = root.findall('./SupportedDevices/Device')
    if not devices:
        problems.append('package.xml lists no supported device')
    for device in devices:
        component = device.get('componentID') or ''
        if not component:
            problems.append('package.xml has a Device without componentID')
        image = device.find('./PayloadConfiguration/Image')
        name = image.get('filename') if image is not None else ''
        if not name:
            problems.append('component %s has no image' % component)
            continue
        path = os.path.join(pkg, 'payload', name)
        if '..' in name.split('/') or not os.path.isfile(path):
            problems.append('component %s: payload/%s is missing' % (component, name))
        elif os.path.getsize(path) > 1 << 24:
            problems.append('component %s: payload/%s has more than the 16 MiB a switch takes'
                            % (component, name))
        elif os.path.getsize(path) == 0:
            problems.append('component %s: payload/%s is empty' % (component, name))
for line in problems:
    print('make-package.sh: %s' % line, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
nm -D --defined-only "$work/libstorelibit.so" | grep -qw ProcessLibCommandIT ||
    die "libstorelibit.so does not export ProcessLibCommandIT; nothing made"

if [[ -n "$cert" ]]; then
    "$root/scripts/sign-package.sh" "$work" "$cert" "$key" >/dev/null ||
        die "the package could not be signed; nothing made"
fi
mv -T "$work" "$out"
trap - EXIT
echo "make-package.sh: $out ($(cd "$out" && find . -type f | sort | sed 's|^\./||' | tr '\n' ' '| sed 's/ $//'))"
