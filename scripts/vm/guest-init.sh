#!/bin/sh
# /init of the test guest. Runs one scenario, named on the kernel command
# line as lumo.scenario=NAME, with the guest part lumo.part=PART
# (/lib/vmtest/PART.sh, from scripts/vm/guest, defines scenario_PART), and
# reports on the second serial port (ttyS1):
#   VMTEST-BOOTED <uptime>          init reached
#   VMTEST-CHECK <name> PASS|FAIL <detail>
#   VMTEST-FILE <name> / VMTEST-LINE <base64> / VMTEST-EOF <name>   a guest file
#   VMTEST-DONE <uptime>            scenario finished
# The host judges the checks; the guest powers off in every case.
# shellcheck source-path=SCRIPTDIR
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp && mount -t tmpfs tmpfs /tmp

OUT=/dev/ttyS1
# Raw, so lines arrive as written (no carriage returns added).
stty -F "$OUT" raw -echo 2>/dev/null
# shellcheck source=guest/lib.sh
. /lib/vmtest/lib.sh

cmdline_value() { sed -n "s/.*lumo\\.$1=\\([^ ]*\\).*/\\1/p" /proc/cmdline; }
scenario=$(cmdline_value scenario)
part=$(cmdline_value part)
say "VMTEST-BOOTED $(uptime_s) $(uname -r) scenario=$scenario"

case "$part" in
probe | program | scsi | record | crash)
    # shellcheck source=/dev/null
    . "/lib/vmtest/$part.sh"
    "scenario_$part"
    ;;
*) check scenario FAIL "no guest part for scenario '$scenario' on the command line ($part)" ;;
esac
finish
