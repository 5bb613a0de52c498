#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "PlatformLayer.h"
#include "ZUKStoreLibTalker.h"

namespace
{

class CRealStoreLibSystem : public IStoreLibSystem
{
public:
    void* OpenLibrary(const std::string& file) override
    {
        // Lazy binding: the library's own dependencies resolve on first call.
        return dlopen(file.c_str(), RTLD_LAZY);
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
};

} // namespace

std::shared_ptr<IStoreLibSystem> MakeRealStoreLibSystem()
{
    return std::make_shared<CRealStoreLibSystem>();
}
