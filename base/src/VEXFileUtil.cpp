#include "VEXFile.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

fs::path PathOf(const VEXFile& file)
{
    return fs::path(file.GetPath().GetUTF8String());
}

} // namespace

VEXString VEXFileUtil::GetExecutablePath()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) {
        return VEXString();
    }
    return VEXString::FromUTF8(buffer, static_cast<size_t>(n));
}

bool VEXFileUtil::CreateTempFile(const VEXString& directory, const VEXString& prefix, VEXFile& out)
{
    std::string pattern = (directory + "/" + prefix + "XXXXXX").GetUTF8String();
    const int fd = mkstemp(&pattern[0]);
    if (fd < 0) {
        return false;
    }
    close(fd);
    out.SetPath(VEXString(pattern));
    return true;
}

bool VEXFileUtil::CreateTempDirectory(const VEXString& directory, const VEXString& prefix,
                                      VEXFile& out)
{
    std::string pattern = (directory + "/" + prefix + "XXXXXX").GetUTF8String();
    if (mkdtemp(&pattern[0]) == nullptr) {
        return false;
    }
    out.SetPath(VEXString(pattern));
    return true;
}

bool VEXFileUtil::CopyFile(const VEXFile& from, const VEXFile& to)
{
    std::error_code error;
    return fs::copy_file(PathOf(from), PathOf(to), fs::copy_options::overwrite_existing, error) &&
           !error;
}

bool VEXFileUtil::RenameFile(const VEXFile& from, const VEXFile& to)
{
    std::error_code error;
    fs::rename(PathOf(from), PathOf(to), error);
    return !error;
}

bool VEXFileUtil::MoveFile(const VEXFile& from, const VEXFile& to)
{
    if (RenameFile(from, to)) {
        return true;
    }
    std::error_code error;
    if (fs::is_directory(PathOf(from), error) || !CopyFile(from, to)) {
        return false;
    }
    return fs::remove(PathOf(from), error) && !error;
}

bool VEXFileUtil::ListDirectory(const VEXFile& directory, std::vector<VEXString>& names)
{
    std::error_code error;
    fs::directory_iterator it(PathOf(directory), error);
    if (error) {
        return false;
    }
    std::vector<VEXString> found;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) {
            return false;
        }
        found.push_back(VEXString(it->path().filename().string()));
    }
    if (error) {
        return false;
    }
    std::sort(found.begin(), found.end());
    names.insert(names.end(), found.begin(), found.end());
    return true;
}

bool VEXFileUtil::CopyDirectory(const VEXFile& from, const VEXFile& to)
{
    std::error_code error;
    if (!fs::is_directory(PathOf(from), error)) {
        return false;
    }
    fs::copy(PathOf(from), PathOf(to),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
    return !error;
}
