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

namespace
{

class CRealStoreLibSystem : public IStoreLibSystem
{
public:
    void* OpenLibrary(const std::string& file) override
    {
        // A bare name is the loader's own search in the system's folders.
        if (file.find('/') == std::string::npos) {
            // Lazy binding: the library's own dependencies resolve on first call.
            return dlopen(file.c_str(), RTLD_LAZY);
        }
        // A package library is checked as opened and loaded through that very
        // descriptor, so no other file can take its place in between.
        std::string why;
        const int fd = pkgfiles::OpenTrusted(file, O_RDONLY, why);
        if (fd < 0) {
            if (errno != ENOENT) {
                pkgfiles::ReportRefusal(file, why);
            }
            return nullptr;
        }
        const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd);
        void* handle = dlopen(byDescriptor.c_str(), RTLD_LAZY);
        close(fd);
        return handle;
    }

    void* FindSymbol(void* handle, const std::string& name) override
    {
        return handle != nullptr ? dlsym(handle, name.c_str()) : nullptr;
    }

    void CloseLibrary(void* handle) override
    {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }

    // The shell goes through the platform layer like every other command the
    // program runs.
    int ExecuteCmd(const std::string& command) override
    {
        return CPlatformLayer::ExecuteCmd(command);
    }

    bool FileExists(const std::string& path) override { return access(path.c_str(), F_OK) == 0; }

    bool SetUidRoot() override { return setuid(0) == 0; }

    bool GetSystemName(std::string& sysname) override
    {
        struct utsname info;
        if (uname(&info) != 0) {
            return false;
        }
        sysname = info.sysname;
        return true;
    }

    bool ReadFirstLine(const std::string& path, std::string& line) override
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

    std::string PackagePath(const std::string& relative) override
    {
        const std::string name = relative.rfind("./", 0) == 0 ? relative.substr(2) : relative;
        return pkgfiles::Path(name);
    }

    bool MayUsePackageFile(const std::string& path) override
    {
        std::string why;
        if (pkgfiles::CheckTrusted(path, why) || why == pkgfiles::kWhyMissing) {
            return true;
        }
        pkgfiles::ReportRefusal(path, why);
        return false;
    }
};

} // namespace

std::shared_ptr<IStoreLibSystem> MakeRealStoreLibSystem()
{
    return std::make_shared<CRealStoreLibSystem>();
}
