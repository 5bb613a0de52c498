#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "PackageFiles.h"
#include "PackageTrust.h"
#include "PlatformLayer.h"
#include "VEXEnvironmentInfo.h"
#include "VEXIO.h"
#include "ZUKStoreLibTalker.h"

namespace
{

// The bytes in an anonymous memory file that can no longer change, open for
// reading only (so it may be executed) and handed to the shell's children
// (not close-on-exec): "/dev/fd/N" names it to them. -1 when it cannot be made.
int SealedCopy(const std::string& content)
{
    const int fd = memfd_create("lumoswitch-package-script", MFD_ALLOW_SEALING | MFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    bool ok = VEXWriteAll(fd, content.data(), content.size()) == content.size();
    ok =
        ok && fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0;
    // A file open for writing cannot be executed (ETXTBSY): the shell gets a
    // read-only descriptor of it, and the writable one goes.
    const int reader = ok ? open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY) : -1;
    close(fd);
    return reader;
}

} // namespace

void* RealStoreLibSystem::OpenLibrary(const std::string& file)
{
    m_lastLoadError.clear();
    // A bare name is the loader's own search in the system's folders.
    if (file.find('/') == std::string::npos) {
        // Lazy binding: the library's own dependencies resolve on first call.
        void* handle = dlopen(file.c_str(), RTLD_LAZY);
        if (handle == nullptr) {
            // The loader's message names the file already.
            const char* error = dlerror();
            m_lastLoadError = error != nullptr ? error : file + ": cannot be loaded";
        }
        return handle;
    }
    // A package library is checked as opened and loaded through that very
    // descriptor, so no other file can take its place in between.
    std::string why;
    const int fd = pkgfiles::OpenTrusted(file, O_RDONLY, why);
    if (fd < 0) {
        if (errno != ENOENT) {
            pkgfiles::ReportRefusal(file, why);
            why = "refused, " + why;
        }
        m_lastLoadError = file + ": " + why;
        return nullptr;
    }
    // When the package's files are checked, the bytes checked are read
    // through this descriptor too, before anything of the library runs.
    const std::string refusal = pkgtrust::CheckDescriptor(pkgtrust::ItemId(file), fd);
    if (!refusal.empty()) {
        close(fd);
        pkgtrust::ReportRefusal(file, refusal);
        m_lastLoadError = file + ": refused, " + refusal;
        return nullptr;
    }
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd);
    void* handle = dlopen(byDescriptor.c_str(), RTLD_LAZY);
    if (handle == nullptr) {
        // Told by the name the package gives it, not the descriptor's.
        const char* error = dlerror();
        std::string text = error != nullptr ? error : "cannot be loaded";
        if (text.compare(0, byDescriptor.size() + 2, byDescriptor + ": ") == 0) {
            text.erase(0, byDescriptor.size() + 2);
        }
        m_lastLoadError = file + ": " + text;
    }
    close(fd);
    return handle;
}

void* RealStoreLibSystem::FindSymbol(void* handle, const std::string& name)
{
    return handle != nullptr ? dlsym(handle, name.c_str()) : nullptr;
}

void RealStoreLibSystem::CloseLibrary(void* handle)
{
    if (handle != nullptr) {
        dlclose(handle);
    }
}

// The shell goes through the platform layer like every other command the
// program runs.
int RealStoreLibSystem::RunShell(const std::string& command)
{
    return CPlatformLayer::ExecuteCmd(command);
}

bool RealStoreLibSystem::FileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool RealStoreLibSystem::SetUidRoot()
{
    return setuid(0) == 0;
}

bool RealStoreLibSystem::GetSystemName(std::string& sysname)
{
    return VEXKernelName(sysname);
}

bool RealStoreLibSystem::ReadFirstLine(const std::string& path, std::string& line)
{
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return false;
    }
    char buffer[1024] = {0};
    const bool ok = std::fgets(buffer, sizeof(buffer), file) != nullptr;
    std::fclose(file);
    if (ok) {
        line = buffer;
    }
    return ok;
}

std::string RealStoreLibSystem::PackagePath(const std::string& relative)
{
    const std::string name = relative.rfind("./", 0) == 0 ? relative.substr(2) : relative;
    return pkgfiles::Path(name);
}

int RealStoreLibSystem::RunPackageScript(const std::string& script)
{
    std::string why;
    if (pkgtrust::Mode() == pkgtrust::EMode::Off) {
        if (!pkgfiles::CheckTrusted(script, why) && why != pkgfiles::kWhyMissing) {
            pkgfiles::ReportRefusal(script, why);
            return -1;
        }
        return RunShell(storelib::PackageScriptCommand(script));
    }
    // Checked: the script that runs is a sealed copy of the bytes that passed,
    // which nobody can change any more, not the file, which root could.
    const int fd = pkgfiles::OpenTrusted(script, O_RDONLY | O_NONBLOCK, why);
    if (fd < 0) {
        if (why != pkgfiles::kWhyMissing) {
            pkgfiles::ReportRefusal(script, why);
        }
        return -1;
    }
    std::string content;
    why = pkgtrust::CheckDescriptor(pkgtrust::ItemId(script), fd, &content);
    close(fd);
    if (!why.empty()) {
        pkgtrust::ReportRefusal(script, why);
        return -1;
    }
    const int copy = SealedCopy(content);
    if (copy < 0) {
        pkgfiles::ReportRefusal(script, "no sealed copy of its checked bytes can be made");
        return -1;
    }
    const int status =
        RunShell(storelib::PackageScriptCommand(script, "/dev/fd/" + std::to_string(copy)));
    close(copy);
    return status;
}
