#include <dlfcn.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "PackageFiles.h"
#include "PlatformLayer.h"
#include "ZUKStoreLibTalker.h"

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
int RealStoreLibSystem::ExecuteCmd(const std::string& command)
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
    struct utsname info;
    if (uname(&info) != 0) {
        return false;
    }
    sysname = info.sysname;
    return true;
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

bool RealStoreLibSystem::MayUsePackageFile(const std::string& path)
{
    std::string why;
    if (pkgfiles::CheckTrusted(path, why) || why == pkgfiles::kWhyMissing) {
        return true;
    }
    pkgfiles::ReportRefusal(path, why);
    return false;
}
