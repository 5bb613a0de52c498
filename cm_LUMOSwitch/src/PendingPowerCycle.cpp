#include "PendingPowerCycle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Logger.h"
#include "PackageFiles.h"
#include "Sha256.h"
#include "SoftwareComponentInfo.h"
#include "StateFolder.h"
#include "StringUtils.h"
#include "VEXIO.h"

namespace
{

const char kSrc[] = "cm_LUMOSwitch/src/PendingPowerCycle";

// The opened folder itself, as it is used.
std::string WhyNotOurs(const struct stat& info, const std::string& folder)
{
    if (!S_ISDIR(info.st_mode)) {
        return folder + " is not a folder";
    }
    if (info.st_uid != geteuid()) {
        return folder + " belongs to user " + std::to_string(info.st_uid);
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return folder + " is open to other users";
    }
    return std::string();
}

// The folder as a descriptor, checked as opened; -1 (and why) otherwise.
int OpenStateFolder(const std::string& folder, std::string& why)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        why = errno == ELOOP || errno == ENOTDIR ? folder + " is not a folder of its own"
                                                 : folder + ": " + std::strerror(errno);
        return -1;
    }
    struct stat info;
    why = fstat(fd, &info) != 0 ? folder + " cannot be examined" : WhyNotOurs(info, folder);
    if (!why.empty()) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const std::string& bytes)
{
    return VEXWriteAll(fd, bytes.data(), bytes.size()) == bytes.size();
}

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

} // namespace

const char RealPendingPowerCycleStore::kFileName[] = "pending-power-cycle";

std::string EncodePendingPowerCycle(const SPendingPowerCycle& record)
{
    const auto word = &CStringUtils::PercentEscaped;
    std::string text = "lumoswitch-pending-power-cycle 1\n";
    text += "boot " + word(record.bootId) + "\n";
    text += "package " + word(record.packageDigest) + " " + word(record.packageFolder) + "\n";
    text += std::string("power-cycle ") + (record.staged ? "staged" : "manual") + "\n";
    for (const SPendingSwitch& s : record.switches) {
        text += "switch " + word(s.componentID) + " " + word(s.versionBefore) + " " +
                word(s.packageVersion) + " " + word(s.serial) + "\n";
    }
    return text;
}

RealPendingPowerCycleStore::Paths RealPendingPowerCycleStore::DefaultPaths()
{
    Paths paths;
    paths.stateFolder = kStateFolder;
    return paths;
}

RealPendingPowerCycleStore::RealPendingPowerCycleStore(Paths paths, std::ostream* errors)
    : m_paths(std::move(paths)), m_errors(errors)
{
}

void RealPendingPowerCycleStore::tell(const std::string& what)
{
    const std::string line = "the pending power cycle is not recorded: " + what;
    CLogger::GetInstance()->log(kSrc, __LINE__, line);
    if (m_errors != nullptr) {
        *m_errors << "lumoswitch: " << line << std::endl;
    }
}

void RealPendingPowerCycleStore::Forget()
{
    // No folder yet, or one that is not the tool's own: nothing a reader
    // would believe is there to take back.
    std::string why;
    const int folder = OpenStateFolder(m_paths.stateFolder, why);
    if (folder < 0) {
        return;
    }
    if (unlinkat(folder, kFileName, 0) == 0) {
        CLogger::GetInstance()->log(kSrc, __LINE__, "Earlier pending power cycle record removed");
    }
    close(folder);
}

void RealPendingPowerCycleStore::Record(const std::vector<SPendingSwitch>& switches, bool staged)
{
    if (switches.empty()) {
        return;
    }
    SPendingPowerCycle record;
    record.switches = switches;
    record.staged = staged;

    std::string why;
    std::string boot;
    const int bootFd = open(m_paths.bootId.c_str(), O_RDONLY | O_CLOEXEC);
    if (bootFd >= 0) {
        char buffer[128] = {};
        const ssize_t got = read(bootFd, buffer, sizeof(buffer) - 1);
        close(bootFd);
        boot = got > 0 ? Trimmed(std::string(buffer, static_cast<size_t>(got))) : std::string();
    }
    if (boot.empty()) {
        tell("the boot ID cannot be read from " + m_paths.bootId);
        return;
    }
    record.bootId = boot;

    const std::string descriptor = m_paths.packageDescriptor.empty()
                                       ? pkgfiles::Directory() + strPackageXMLFileName
                                       : m_paths.packageDescriptor;
    std::string content;
    if (!pkgfiles::ReadTrusted(descriptor, content, why)) {
        tell(descriptor + ": " + why);
        return;
    }
    record.packageDigest = Sha256Hex(content);
    record.packageFolder = descriptor.substr(0, descriptor.rfind('/'));

    if (!pkgfiles::MakeRootOnlyFolder(m_paths.stateFolder, why)) {
        tell(why);
        return;
    }
    const int folder = OpenStateFolder(m_paths.stateFolder, why);
    if (folder < 0) {
        tell(why);
        return;
    }
    // Written beside its name and renamed into place: a reader sees the
    // earlier record or the whole new one. The folder is this user's alone,
    // so the temporary name is too.
    const std::string temporary = std::string(kFileName) + ".new";
    unlinkat(folder, temporary.c_str(), 0);
    const int fd = openat(folder, temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int error = fd < 0 ? errno : 0;
    if (error == 0 && (!WriteAll(fd, EncodePendingPowerCycle(record)) || fsync(fd) != 0)) {
        error = errno != 0 ? errno : EIO;
    }
    if (fd >= 0 && close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 &&
        (renameat(folder, temporary.c_str(), folder, kFileName) != 0 || fsync(folder) != 0)) {
        error = errno;
    }
    if (error != 0) {
        tell(m_paths.stateFolder + "/" + kFileName + ": " + std::strerror(error));
        unlinkat(folder, temporary.c_str(), 0);
    } else {
        CLogger::GetInstance()->log(kSrc, __LINE__,
                                    "Pending power cycle recorded for " +
                                        std::to_string(switches.size()) + " switch(es)");
    }
    close(folder);
}
