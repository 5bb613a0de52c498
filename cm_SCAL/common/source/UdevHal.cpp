#include <cerrno>

#include "ScalSeams.h"
#include "SecureCorvel.h"

static const char kSrc[] = "cm_SCAL/common/source/UdevHal";

namespace
{

const int kShellNotRun = -1;
const std::size_t kStatusOutputLimit = 1024;
const unsigned kRuleFileMode = 0755;

// The file names carry one trailing blank: it separates them from the
// destination directory in the copy command.
std::string CopyArgument(const std::string& fileName)
{
    return fileName + " ";
}

} // namespace

bool secureCorvel::CopyFile(const std::string& source, const std::string& destinationDirectory)
{
    IScalHost& host = *m_seams.host;
    if (!host.PathExists(destinationDirectory)) {
        logCorvelMsg(kSrc, __LINE__, destinationDirectory + " Path does not exists");
        return false;
    }
    const std::string name = source.substr(0, source.find_last_not_of(' ') + 1);
    const std::string target = destinationDirectory + name;
    // A rule folder anyone but root could write to is no place for rules
    // that run as root.
    struct stat folder;
    if (!host.LStat(destinationDirectory, folder) || !S_ISDIR(folder.st_mode) ||
        folder.st_uid != 0 || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        logCorvelMsg(kSrc, __LINE__,
                     destinationDirectory + " is not root's own folder, " + name + " not copied");
        return false;
    }
    std::string content;
    if (!host.ReadPackageFile(name, content)) {
        logCorvelMsg(kSrc, __LINE__, name + " is missing from the package or refused, not copied");
        return false;
    }
    // A rule file that was there before this run is the host's: kept as it
    // is, and left in place at uninstall.
    struct stat existing;
    if (host.LStat(target, existing)) {
        logCorvelMsg(kSrc, __LINE__, target + " was already there, kept");
        return true;
    }
    m_seams.journal->Note(journalrecord::RuleFile(target, content));
    const int error = host.CreateNewFile(target, content, kRuleFileMode);
    logCorvelMsg(kSrc, __LINE__, "copied " + name + " to " + destinationDirectory);
    if (error != 0) {
        m_seams.journal->Note(journalrecord::RuleFileGone(target));
    }
    if (error == EEXIST) {
        logCorvelMsg(kSrc, __LINE__, target + " was already there, kept");
        return true;
    }
    if (error != 0) {
        logCorvelMsg(kSrc, __LINE__, "CopyFile fdi file failed");
        return false;
    }
    m_installedRules.push_back(target);
    const std::string chmod =
        "chmod 755 " + destinationDirectory + "/" + source + " > /dev/null 2>&1";
    const int status = host.RunShell(chmod);
    logCorvelMsg(kSrc, __LINE__, chmod);
    host.Sync();
    if (status == kShellNotRun) {
        logCorvelMsg(kSrc, __LINE__, "Change file permission to 755");
        return false;
    }
    return true;
}

void secureCorvel::removeInstalledRules(const std::string& directory)
{
    IScalHost& host = *m_seams.host;
    for (auto it = m_installedRules.begin(); it != m_installedRules.end();) {
        if (it->compare(0, directory.size(), directory) == 0) {
            const int error = host.Unlink(*it);
            if (error == 0 || error == ENOENT) {
                m_seams.journal->Note(journalrecord::RuleFileGone(*it));
            }
            it = m_installedRules.erase(it);
        } else {
            ++it;
        }
    }
}

std::string UdevReloadCommand(IScalHost& host)
{
    if (host.PathExists("/sbin/udevadm")) {
        return "/sbin/udevadm control --reload-rules > /dev/null 2>&1";
    }
    if (host.PathExists("/sbin/udevcontrol")) {
        return "/sbin/udevcontrol reload_rules > /dev/null 2>&1";
    }
    return "";
}

bool StartHalDaemon(IScalHost& host)
{
    return host.RunShell(HalDaemonScript + " start > /dev/null 2>&1") != kShellNotRun;
}

std::vector<std::string> RuleFilePaths()
{
    std::vector<std::string> paths;
    for (const std::string* folder : {&RHatUdevLibDir, &AltUdevLibDir1, &AltUdevLibDir2}) {
        for (const std::string* name : {&UdevRuleFile1, &UdevRuleFile2}) {
            paths.push_back(*folder + *name);
        }
    }
    return paths;
}

bool secureCorvel::RestartUdevRules()
{
    IScalHost& host = *m_seams.host;
    logCorvelMsg(kSrc, __LINE__, "secureCorvel::RestartUdevRules()");
    const std::string command = UdevReloadCommand(host);
    logCorvelMsg(kSrc, __LINE__, command);
    if (command.empty()) {
        return true;
    }
    if (host.RunShell(command) == kShellNotRun) {
        logCorvelMsg(kSrc, __LINE__, "failed RestartUdevRules");
        return false;
    }
    logCorvelMsg(kSrc, __LINE__, "RestartUdevRules restarted ");
    return true;
}

bool secureCorvel::udevhalInstall()
{
    CopyFile(CopyArgument(UdevRuleFile1), RHatUdevLibDir);
    CopyFile(CopyArgument(UdevRuleFile2), RHatUdevLibDir);
    RestartUdevRules();

    if (m_osType == REDHAT) {
        if (RestartUdevRules()) {
            logCorvelMsg(kSrc, __LINE__, "Udev rule successfully Installed");
            return true;
        }
        logCorvelMsg(kSrc, __LINE__, "Udev rule is not Installed");
        return false;
    }

    if (m_osType == SUSE) {
        if (m_bHalDaemonRunning) {
            m_seams.journal->Note(journalrecord::DaemonStopped(HalDaemonName));
            if (m_seams.host->RunShell(HalDaemonScript + " stop > /dev/null 2>&1") !=
                kShellNotRun) {
                logCorvelMsg(kSrc, __LINE__, "stopped haldaemon");
                logCorvelMsg(kSrc, __LINE__, "Udev rule successfully Installed");
                return true;
            }
            m_seams.journal->Note(journalrecord::DaemonRunning(HalDaemonName));
            logCorvelMsg(kSrc, __LINE__, "failed to stop the haldaemon");
        }
        logCorvelMsg(kSrc, __LINE__, "Udev rule is not Installed");
        return false;
    }

    CopyFile(CopyArgument(UdevRuleFile1), AltUdevLibDir1);
    CopyFile(CopyArgument(UdevRuleFile2), AltUdevLibDir1);
    CopyFile(CopyArgument(UdevRuleFile1), AltUdevLibDir2);
    CopyFile(CopyArgument(UdevRuleFile2), AltUdevLibDir2);
    RestartUdevRules();
    logCorvelMsg(kSrc, __LINE__, "Udev rule is not Installed");
    return false;
}

bool secureCorvel::udevhalUninstall()
{
    IScalHost& host = *m_seams.host;
    // Only the rule files this run put in place are removed.
    removeInstalledRules(RHatUdevLibDir);
    RestartUdevRules();

    if (m_osType != SUSE) {
        removeInstalledRules(AltUdevLibDir1);
        removeInstalledRules(AltUdevLibDir2);
        RestartUdevRules();
    }

    // Only a daemon that was running before is started again.
    if (m_osType == SUSE && m_bHalDaemonRunning) {
        if (!StartHalDaemon(host)) {
            logCorvelMsg(kSrc, __LINE__, "failed to start the haldaemon");
        } else {
            m_seams.journal->Note(journalrecord::DaemonRunning(HalDaemonName));
            logCorvelMsg(kSrc, __LINE__, "started haldaemon");
        }
    }
    logCorvelMsg(kSrc, __LINE__, "Udev  successfully Uninstalled");
    return true;
}

bool secureCorvel::IsHalDaemonRunning()
{
    IScalHost& host = *m_seams.host;
    logCorvelMsg(kSrc, __LINE__, "Inside secureCorvel::IsHalDaemonRunning");
    if (!host.IsExecutable(HalDaemonScript)) {
        return false;
    }
    std::string output;
    if (!host.RunCapture(HalDaemonScript + " status", kStatusOutputLimit, output)) {
        return false;
    }
    bool running = !output.empty() && output.find("running") != std::string::npos;
    if (running) {
        logCorvelMsg(kSrc, __LINE__, "haldaemon is running");
    }
    return running;
}
