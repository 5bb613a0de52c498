#include <cctype>
#include <cerrno>
#include <string>
#include <vector>

#include "ScalSeams.h"
#include "SecureCorvel.h"
#include "StringUtils.h"

static const char kSrc[] = "cm_SCAL/common/source/QueryQPL";

namespace
{

// Release files are read the way fgets with a 1024-byte buffer reads them:
// a longer line arrives in pieces of at most 1023 characters.
const std::size_t kMaxLineChars = 1023;

std::vector<std::string> ReadLines(IScalHost& host, const std::string& path)
{
    std::vector<std::string> lines;
    std::string content;
    // A file that exists but cannot be opened reads as empty.
    host.ReadFile(path, content);
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t newline = content.find('\n', pos);
        std::size_t end = newline == std::string::npos ? content.size() : newline + 1;
        if (end - pos > kMaxLineChars) {
            end = pos + kMaxLineChars;
        }
        lines.push_back(content.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

std::string FirstLine(IScalHost& host, const std::string& path)
{
    std::vector<std::string> lines = ReadLines(host, path);
    return lines.empty() ? std::string() : lines.front();
}

bool AnyLineContains(IScalHost& host, const std::string& path, const std::string& text)
{
    for (const std::string& line : ReadLines(host, path)) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Two characters of a /proc/scsi/scsi field, only when they are what the
// kernel prints there (digits, blank padding): they end up in a shell command.
bool ScsiField(const std::string& text, const std::string& marker, std::size_t skip,
               std::string& field)
{
    std::size_t at = text.find(marker);
    if (at == std::string::npos || at + skip + 2 > text.size()) {
        return false;
    }
    field = text.substr(at + skip, 2);
    for (char c : field) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != ' ') {
            return false;
        }
    }
    return field.find_first_of("0123456789") != std::string::npos;
}

} // namespace

bool secureCorvel::getLinuxOSVer()
{
    if (m_osType != OS_UNKNOWN) {
        logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer OS Version previously set");
        return true;
    }
    IScalHost& host = *m_seams.host;
    if (!host.BecomeRoot()) {
        logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer:user is not root");
        return false;
    }

    std::string kernel;
    if (host.KernelName(kernel) &&
        CStringUtils::toLowerCase(kernel) == CStringUtils::toLowerCase(ESXiKernel)) {
        m_osType = ESXi;
        logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer: ESXi Found");
        return true;
    }

    if (host.PathExists(ESXRel)) {
        const std::string line = FirstLine(host, ESXRel);
        if (Contains(line, "VMware ESX Server 3")) {
            m_osType = ESX;
            logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer: ESX 3 Found");
            return true;
        }
        if (Contains(line, "VMware ESX 4.1")) {
            m_osType = ESX4_1;
            logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer: ESX 4 Found");
            return true;
        }
        if (Contains(line, "VMware ESX 4")) {
            m_osType = ESX4;
            logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer: ESX 4 Found");
            return true;
        }
        logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer: Unrecognized VMWare Found");
    }

    if (host.PathExists(RedHatRel)) {
        const std::string line = FirstLine(host, RedHatRel);
        if (Contains(line, "Red Hat")) {
            m_osType = REDHAT;
            logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer REDHAT found");
            return true;
        }
        if (Contains(line, "XenServer")) {
            m_osType = XENSERVER;
            logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer Xenserver found");
            return true;
        }
        if (host.PathExists(NewHBQRel)) {
            if (AnyLineContains(host, NewHBQRel, "WNX_MAJOR_VERSION")) {
                m_osType = ELI_NEW;
                logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer: NEW ELI(HBQ) Found");
                return true;
            }
        } else if (Contains(line, "Cent")) {
            m_osType = CENTOS;
            logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer CentOS found");
            return true;
        }
    }

    if (host.PathExists(SuseRel)) {
        m_osType = SUSE;
        logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer: SLES Found");
        return true;
    }
    if (host.PathExists(WNXRel) && AnyLineContains(host, WNXRel, "WNX_MAJOR_VERSION")) {
        m_osType = ELI;
        logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer: ELI(WNX) Found");
        return true;
    }
    if (host.PathExists(HBQRel) && AnyLineContains(host, HBQRel, "HBQ_MAJOR_VERSION")) {
        m_osType = ELI;
        logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer: ELI(HBQ) Found");
        return true;
    }
    m_osType = REDHAT;
    return true;
}

namespace
{

enum class MountFolder { Absent, Ours, Foreign };

// The mount folders lie in the world-writable /tmp, where anyone may have put
// a link or a folder of their own under the same name. Only a real directory
// owned by root is unmounted or removed, and only in a parent where no one
// but root may rename or replace it (root's own, not writable by others, or
// sticky like /tmp): so the name still means the checked folder when the
// command runs.
MountFolder InspectMountFolder(IScalHost& host, const std::string& directory)
{
    struct stat info;
    if (!host.LStat(directory, info)) {
        return MountFolder::Absent;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != 0) {
        return MountFolder::Foreign;
    }
    struct stat parent;
    const std::string parentPath = RHatPartDir;
    if (!host.LStat(parentPath, parent) || !S_ISDIR(parent.st_mode) || parent.st_uid != 0 ||
        ((parent.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (parent.st_mode & S_ISVTX) == 0)) {
        return MountFolder::Foreign;
    }
    return MountFolder::Ours;
}

} // namespace

// Both clean-ups end alike: a folder that is not root's own is left alone, a
// partition still mounted keeps its folder and device nodes, and either is a
// failure.
bool secureCorvel::unmountStatPartition(const std::string& label)
{
    logCorvelMsg(kSrc, __LINE__, "-- umountStatPartition Entry");
    if (!getLinuxOSVer()) {
        return false;
    }
    IScalHost& host = *m_seams.host;
    const std::string directory = RHatPartDir + label;
    const MountFolder folder = InspectMountFolder(host, directory);
    if (folder == MountFolder::Foreign) {
        logCorvelMsg(kSrc, __LINE__, directory + " is not a directory of root's, left alone");
        return false;
    }
    // The checked folder is unmounted by the shell as ever: in a parent where
    // no one else may rename, the name still means that folder. Where nothing
    // was there, another user may put a link in the meantime: the unmount
    // then goes through the call that never follows one.
    if (folder == MountFolder::Ours) {
        host.RunShell("umount " + directory + " > /dev/null 2>&1");
    } else {
        host.Unmount(directory);
    }
    logCorvelMsg(kSrc, __LINE__, "static partition umounted.");
    // Removing the directory while the partition is still mounted on it would
    // delete the partition's contents. rm never follows a link in the name
    // it is given.
    if (host.IsMountPoint(directory)) {
        logCorvelMsg(kSrc, __LINE__, directory + " is still mounted, not removed");
        return false;
    }
    host.RunShell("rm -rf " + directory + " > /dev/null 2>&1");
    host.RunShell("rm -f " + CorvelUsbDevNodes + "* > /dev/null 2>&1");
    return true;
}

bool secureCorvel::unmountDynPartition()
{
    logCorvelMsg(kSrc, __LINE__, "-- umountDynPartition Entry");
    if (!getLinuxOSVer()) {
        logCorvelMsg(kSrc, __LINE__, "getLinuxOSVer failed");
        return false;
    }
    if (m_osType == ESXi) {
        logCorvelMsg(kSrc, __LINE__, "Unmount not needed for ESXi");
        return true;
    }

    IScalHost& host = *m_seams.host;
    const std::string directory = RHatPartDir + dynDriveName;
    const MountFolder folder = InspectMountFolder(host, directory);
    if (folder == MountFolder::Foreign) {
        logCorvelMsg(kSrc, __LINE__, directory + " is not a directory of root's, left alone");
        return false;
    }
    unsigned busyWaits = 0;
    unsigned unmounted = 0;
    // Take off every mount stacked on the directory; a busy one is retried
    // once a second, for a bounded time. The call never follows a link, so
    // one put in an absent folder's place in the meantime changes nothing.
    for (;;) {
        logCorvelMsg(kSrc, __LINE__, "Unmounting dir -> " + directory);
        int error = host.Unmount(directory);
        if (error == 0) {
            logCorvelMsg(kSrc, __LINE__, "Umount Successful");
            if (++unmounted >= kMaxStackedUnmounts) {
                break;
            }
            continue;
        }
        logCorvelMsg(kSrc, __LINE__, "Umount Error Num = " + std::to_string(error));
        if (error != EBUSY) {
            break;
        }
        if (busyWaits >= kMaxBusyUnmountRetries) {
            logCorvelMsg(kSrc, __LINE__,
                         "Umount still busy after " + std::to_string(busyWaits) +
                             " seconds, giving up");
            break;
        }
        ++busyWaits;
        m_seams.sleeper->SleepSeconds(1);
    }

    if (host.IsMountPoint(directory)) {
        logCorvelMsg(kSrc, __LINE__, directory + " is still mounted, not removed");
        return false;
    }
    host.RunShell("rm -rf " + directory + " > /dev/null 2>&1");
    host.RunShell("rm -f " + CorvelUsbDevNodes + "* > /dev/null 2>&1");
    return true;
}

void secureCorvel::CleanMountedPartition()
{
    if (m_osType != ESXi) {
        return;
    }
    IScalHost& host = *m_seams.host;
    for (int attempt = 0; attempt < 5; ++attempt) {
        logCorvelMsg(kSrc, __LINE__, "Running Rescan command to remove stale folder name : Try");
        if (host.RunShell(ESXi_RESCAN_COMMAND) != 0) {
            logCorvelMsg(kSrc, __LINE__, "Rescan Failed.");
        } else if (host.RunShell(ESXi_LIST_MOUNTED_DEVICES + dynDriveName + " > /dev/null 2>&1") !=
                   0) {
            logCorvelMsg(kSrc, __LINE__, "SECUPD Removed");
            break;
        }
        m_seams.sleeper->SleepSeconds(2);
    }
    logCorvelMsg(kSrc, __LINE__, "Leaving CleanMountedPartition");
}

void secureCorvel::ESX_RemoveEntries(uint16_t staticSlots, uint16_t dynSlots, uint16_t partitionId)
{
    IScalHost& host = *m_seams.host;
    if (m_osType == ESX) {
        const std::string label =
            partitionId < kCorvelPartCount ? corvelPartInfo[partitionId].label : std::string();
        const std::string volume =
            staticSlots != 0 ? label : (dynSlots != 0 ? dynDriveName : std::string());
        logCorvelMsg(kSrc, __LINE__, "Removing " + label + " from /proc/scsi/scsi");

        std::string output;
        host.RunCapture("/bin/cat /proc/scsi/scsi | /bin/sed -n '/" + volume + "/{g;1!p;};h'", 1024,
                        output);
        logCorvelMsg(kSrc, __LINE__, "HBTL (" + label + " ): " + output);

        std::string hostNo;
        std::string channel;
        std::string id;
        std::string lun;
        if (ScsiField(output, "Host: ", 10, hostNo) && ScsiField(output, "Channel: ", 9, channel) &&
            ScsiField(output, "Id: ", 4, id) && ScsiField(output, "Lun: ", 5, lun)) {
            logCorvelMsg(kSrc, __LINE__,
                         "HBTL (" + hostNo + ", " + channel + ", " + id + ", " + lun + ")");
            host.RunShell("echo \"scsi remove-single-entry " + hostNo + " " + channel + " " + id +
                          " " + lun + "\" > /proc/scsi/scsi");
        } else {
            logCorvelMsg(kSrc, __LINE__, "HBTL not found, no SCSI entry removed");
        }
    } else if (m_osType == ESX4) {
        host.RunShell("for i in `/usr/sbin/esxcfg-scsidevs -A | /bin/awk '{print $1}' | uniq` ; "
                      "do /usr/sbin/esxcfg-rescan $i &> /dev/null ; done");
    }
    logCorvelMsg(kSrc, __LINE__, "done");
}
