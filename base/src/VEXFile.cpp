#include "VEXFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

class RealFileSystem : public IVEXFileSystem
{
public:
    bool Stat(const std::string& path, bool& isDirectory, uint64_t& size) override
    {
        struct stat st = {};
        if (stat(path.c_str(), &st) != 0) {
            return false;
        }
        isDirectory = S_ISDIR(st.st_mode);
        size = static_cast<uint64_t>(st.st_size);
        return true;
    }
    bool Remove(const std::string& path) override { return std::remove(path.c_str()) == 0; }
    bool MakeDirectory(const std::string& path) override { return mkdir(path.c_str(), 0777) == 0; }
    bool CreateFile(const std::string& path) override
    {
        const int fd =
            open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0) {
            return false;
        }
        close(fd);
        return true;
    }
    // The command finds its tools in the system's folders, whatever PATH the
    // program was given; the assignment holds for that one command only.
    int RunShell(const std::string& command) override
    {
        return std::system(("PATH=/usr/sbin:/usr/bin:/sbin:/bin " + command).c_str());
    }
};

RealFileSystem gRealFileSystem;
IVEXFileSystem* gFileSystem = &gRealFileSystem;

const char16_t kSeparator = u'/';

// Single quotes keep blanks and shell syntax in a path from being read as
// commands.
std::string ShellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return quoted;
}

} // namespace

void VEXFile::SetFileSystem(IVEXFileSystem* fileSystem)
{
    gFileSystem = fileSystem != nullptr ? fileSystem : &gRealFileSystem;
}

IVEXFileSystem& VEXFile::GetFileSystem()
{
    return *gFileSystem;
}

bool VEXFile::Exists() const
{
    if (m_Path.empty()) {
        return false;
    }
    bool isDirectory = false;
    uint64_t size = 0;
    return GetFileSystem().Stat(m_Path.GetUTF8String(), isDirectory, size);
}

VEXString VEXFile::GetName() const
{
    const size_t slash = m_Path.rfind(kSeparator);
    return slash == VEXString::npos ? m_Path : m_Path.SubString(slash + 1);
}

VEXString VEXFile::GetBaseName() const
{
    const VEXString name = GetName();
    const size_t dot = name.rfind(u'.');
    return dot == VEXString::npos ? name : name.SubString(0, dot);
}

void VEXFile::SetName(const VEXString& name)
{
    const size_t slash = m_Path.rfind(kSeparator);
    if (slash == VEXString::npos) {
        m_Path = name;
    } else {
        m_Path = m_Path.SubString(0, slash + 1) + name;
    }
}

void VEXFile::AppendName(const VEXString& name)
{
    if (!m_Path.empty() && m_Path.back() != kSeparator) {
        m_Path.push_back(kSeparator);
    }
    m_Path += name;
}

void VEXFile::RemoveName()
{
    m_Path = GetParentPath();
}

VEXString VEXFile::GetExtension() const
{
    const VEXString name = GetName();
    const size_t dot = name.rfind(u'.');
    return dot == VEXString::npos ? VEXString() : name.SubString(dot + 1);
}

void VEXFile::SetExtension(const VEXString& extension)
{
    VEXString name = GetBaseName();
    if (!extension.empty()) {
        name = name + "." + extension;
    }
    SetName(name);
}

VEXString VEXFile::GetParentPath() const
{
    const size_t slash = m_Path.rfind(kSeparator);
    if (slash == VEXString::npos) {
        return VEXString();
    }
    if (slash == 0) {
        return VEXString("/");
    }
    return m_Path.SubString(0, slash);
}

bool VEXFile::IsValidName() const
{
    return GetName().IsPermissableFileName();
}

bool VEXFile::ParentExists() const
{
    return VEXFile(GetParentPath()).Exists();
}

bool VEXFile::HasValidPath() const
{
    return HasPath() && IsValidName();
}

bool VEXFile::GetSize(uint64_t& size) const
{
    if (m_Path.empty()) {
        return false;
    }
    bool isDirectory = false;
    return GetFileSystem().Stat(m_Path.GetUTF8String(), isDirectory, size);
}

bool VEXFile::IsEmpty() const
{
    bool isDirectory = false;
    uint64_t size = 0;
    return !m_Path.empty() && GetFileSystem().Stat(m_Path.GetUTF8String(), isDirectory, size) &&
           !isDirectory && size == 0;
}

bool VEXFile::Touch() const
{
    bool isDirectory = false;
    uint64_t size = 0;
    const std::string path = m_Path.GetUTF8String();
    if (m_Path.empty() || !GetFileSystem().Stat(path, isDirectory, size) || isDirectory) {
        return false;
    }
    return GetFileSystem().RunShell("touch -c " + ShellQuote(path)) == 0;
}

bool VEXFile::Delete() const
{
    return !m_Path.empty() && GetFileSystem().Remove(m_Path.GetUTF8String());
}

bool VEXFile::MakeDirectory() const
{
    return !m_Path.empty() && GetFileSystem().MakeDirectory(m_Path.GetUTF8String());
}

bool VEXFile::Create() const
{
    return !m_Path.empty() && GetFileSystem().CreateFile(m_Path.GetUTF8String());
}

bool VEXFile::GetTime(uint64_t&) const
{
    return false;
}
bool VEXFile::SetTime(uint64_t)
{
    return false;
}
bool VEXFile::GetBool(bool&) const
{
    return false;
}
bool VEXFile::SetBool(bool)
{
    return false;
}
bool VEXFile::CanOpen() const
{
    return false;
}
bool VEXFile::IsOpen() const
{
    return false;
}
