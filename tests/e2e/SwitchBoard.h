#pragma once

// The server most staging scenarios run on: two switches behind one storage
// controller, the package that updates both and carries the two rule files, a
// management controller ready to stage the power cycle, and what a run leaves
// to look at (the report's texts, the controller's request log and state).

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "E2EHarness.h"

namespace e2e
{

// What the report says of an updated switch, by how the power cycle ended.
inline const char kSuccessText[] =
    "The firmware update was successful. The new firmware will be activated on LUMO Switch upon "
    "power cycle of the device or system. Rebooting the system will perform Quillpath "
    "controller's power cycle action.";
inline const char kManualText[] =
    "The firmware update was successful. The new firmware will be activated on LUMO Switch upon "
    "power cycle of the device or system. Please power cycle the system manually.";
inline const char kUpdateFailed[] = "ERROR: Failed to Update Firmware";

// Controller of a 14G server with an enabled repository, a static partition
// and the package's dynamic partition left attached by an earlier run.
inline const char kHealthyController[] = "generation 30\n"
                                         "repository 00\n"
                                         "access enabled\n"
                                         "handle 1234\n"
                                         "partition static 0 COR001 attached\n"
                                         "partition dynamic 0 SECUPD attached\n";

// The rule files the package carries.
inline const char kUsbRule[] = "# repository USB device\n";
inline const char kPartitionRule[] = "# repository partitions\n";

// Driver scripts end with this: which rule files are left in the three rule
// directories, into rules-left.txt.
inline const char kListRulesLeft[] =
    R"(for d in /etc/udev/rules.d /lib/udev/rules.d /run/udev/rules.d; do
    for f in 98-secupdusb.rules 00-secupd-vantor.rules; do
        [ -e "$d/$f" ] && echo "$d/$f"
    done
done > rules-left.txt
)";

// A driver script for a host with other users: root prepares ($E2E_PREPARE),
// nobody attacks ($E2E_ATTACK), root runs the tool from the chosen folder
// ($E2E_RUN_FROM, default the package) with the script's arguments, then the
// evidence is collected as root ($E2E_CHECK into evidence.txt, the rule
// files left into rules-left.txt). Exits with the tool's status, 120 to 122
// when a step of its own failed.
inline const std::string kAttackDriver = std::string(R"(#!/bin/bash
PKG=$(pwd)
export PKG
/bin/bash -c "$E2E_PREPARE" || exit 120
if [ -n "$E2E_ATTACK" ]; then
    env -u LD_PRELOAD setpriv --reuid=nobody --regid=nogroup --clear-groups \
        /bin/sh -c "$E2E_ATTACK" || exit 121
fi
cd "${E2E_RUN_FROM:-$PKG}" || exit 122
"$PKG/lumoswitch" "$@"
status=$?
cd "$PKG"
cat /run/lumo-rule-copies > rule-copies.txt 2>/dev/null
)") + kListRulesLeft + R"(/bin/bash -c "$E2E_CHECK" > evidence.txt 2>&1
exit $status
)";

// Device 8 is table row 0 (downloaded first), device 9 row 1; `extra` lines
// follow the second switch.
inline std::string BoardTopology(const std::string& extra = "")
{
    return "controller id=0x05000000\n"
           "device id=8 type=0x0d serial=\"" +
           TableRow(0).first +
           "\" product=\"LUMO PCIe Switch\" revision=1.2.10.0\n"
           "device id=9 type=0x1f serial=\"" +
           TableRow(1).first + "\" product=\"LUMO PCIe Switch\" revision=1.2.10.0\n" + extra;
}

// package.xml for both switches; `leadingDevices` are Device entries before
// them, `firstImage` the first switch's image file name.
inline std::string BoardPackage(const std::string& firstImage = "sw1.bin",
                                const std::string& leadingDevices = "")
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SoftwareComponent>\n"
                      " <SupportedDevices>\n" +
                      leadingDevices;
    for (size_t row = 0; row < 2; ++row) {
        const std::string image = row == 0 ? firstImage : "sw2.bin";
        xml += "  <Device componentID=\"" + TableRow(row).second + "\"><Display>LUMO Switch " +
               std::to_string(row + 1) + "</Display><PayloadConfiguration><Image filename=\"" +
               image + "\"/></PayloadConfiguration></Device>\n";
    }
    return xml + " </SupportedDevices>\n</SoftwareComponent>\n";
}

// The images of the first and second switch, two chunks each.
inline std::string FirstImage()
{
    return ImageBytes(40000, 7);
}
inline std::string SecondImage()
{
    return ImageBytes(33000, 8);
}

// Topology, package.xml, both images and the two rule files.
inline void FillBoardPackage(const PackageDir& pkg, const std::string& topologyExtra = "",
                             const std::string& packageXml = BoardPackage())
{
    pkg.topology(BoardTopology(topologyExtra));
    pkg.package(packageXml);
    pkg.write("payload/sw1.bin", FirstImage());
    pkg.write("payload/sw2.bin", SecondImage());
    pkg.write("98-secupdusb.rules", kUsbRule);
    pkg.write("00-secupd-vantor.rules", kPartitionRule);
}

// A fresh tree to copy over the sandbox root: the three rule directories and
// a udev control tool to stand in for. Returns `root`.
inline std::string RuleDirsRoot(const std::string& root)
{
    std::filesystem::remove_all(root);
    for (const char* dir : {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d"}) {
        std::filesystem::create_directories(root + dir);
    }
    WriteFile(root + "/usr/sbin/udevadm", "#!/bin/sh\nexit 0\n");
    chmod((root + "/usr/sbin/udevadm").c_str(), 0755);
    return root;
}

// An updated switch's status in the report, and a failed one's.
inline std::string Passed(const std::string& text)
{
    return "<SPStatus result = \"true\" ><Message id=\"0\" >" + text + "</Message>";
}
inline std::string Failed(const std::string& text)
{
    return "<SPStatus result = \"false\" ><Message id=\"0\" >" + text + "</Message></SPStatus>";
}

inline unsigned Occurrences(const std::string& text, const std::string& part)
{
    unsigned n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

inline unsigned Count(const std::vector<std::string>& items, const std::string& item)
{
    return static_cast<unsigned>(std::count(items.begin(), items.end(), item));
}

// The simulated controller's state file (ipmi.state), NAME=VALUE per line.
inline std::map<std::string, std::string> ParseState(const std::string& text)
{
    std::map<std::string, std::string> state;
    for (const std::string& line : Lines(text)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            state[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return state;
}

// The request names in the controller's log (ipmi.log lines), in order.
inline std::vector<std::string> Ops(const std::vector<std::string>& requests)
{
    std::vector<std::string> ops;
    for (const std::string& line : requests) {
        const size_t at = line.find(" op=");
        if (at != std::string::npos) {
            ops.push_back(line.substr(at + 4, line.find(' ', at + 4) - at - 4));
        }
    }
    return ops;
}

} // namespace e2e
