#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VEXShellRunner.h"
#include "VEXString.h"

// The file-system calls VEXFile makes, so tests reach every branch without
// depending on the host.
class IVEXFileSystem : public IVEXShellRunner
{
public:
    virtual ~IVEXFileSystem() = default;
    // stat(2); false when the query fails for any reason.
    virtual bool Stat(const std::string& path, bool& isDirectory, uint64_t& size) = 0;
    // remove(3): files and empty directories.
    virtual bool Remove(const std::string& path) = 0;
    virtual bool MakeDirectory(const std::string& path) = 0;
    // Creates the file if missing; an existing file is left untouched.
    virtual bool CreateFile(const std::string& path) = 0;
};

// A path on the file system (may be empty). Paths are handed to the system
// in UTF-8.
class VEXFile
{
public:
    VEXFile() = default;
    VEXFile(const VEXString& path) : m_Path(path) {}
    VEXFile(const VEXFile& other) = default;
    VEXFile& operator=(const VEXFile& other) = default;
    virtual ~VEXFile() = default;

    bool operator==(const VEXFile& other) const { return m_Path == other.m_Path; }
    bool operator!=(const VEXFile& other) const { return !(*this == other); }

    VEXString GetPath() const { return m_Path; }
    bool HasPath() const { return !m_Path.empty(); }
    void SetPath(const VEXString& path) { m_Path = path; }

    // False for an empty path (the file system is not asked); otherwise true
    // exactly when the status query succeeds, files and directories alike.
    bool Exists() const;

    // Last component ("c.txt" of "a/b/c.txt"); the whole path without "/".
    VEXString GetName() const;
    // The name without its extension ("c").
    VEXString GetBaseName() const;
    // Replaces the last component.
    void SetName(const VEXString& name);
    // Adds "/" and `name` (no doubled separator).
    void AppendName(const VEXString& name);
    // Drops the last component, leaving the parent path.
    void RemoveName();
    // Text after the name's last "." ("txt"); empty without one.
    VEXString GetExtension() const;
    // Replaces or adds the extension; an empty one removes it with its ".".
    void SetExtension(const VEXString& extension);
    // Everything before the last "/" ("a/b"; "/" for "/x"; empty without "/").
    VEXString GetParentPath() const;
    // The name is a permissable file name.
    bool IsValidName() const;
    bool ParentExists() const;
    // A path whose name is valid.
    bool HasValidPath() const;
    // False when the status query fails.
    bool GetSize(uint64_t& size) const;
    // An existing regular file of size 0.
    bool IsEmpty() const;
    // "touch -c <path>" through the shell for an existing non-directory.
    bool Touch() const;
    bool Delete() const;
    bool MakeDirectory() const;
    bool Create() const;

    // Kept for callers of the wider library; they do nothing and fail.
    bool GetTime(uint64_t& time) const;
    bool SetTime(uint64_t time);
    bool GetBool(bool& value) const;
    bool SetBool(bool value);
    bool CanOpen() const;
    bool IsOpen() const;

    // Process-wide file system; nullptr restores the real one. Not owned.
    static void SetFileSystem(IVEXFileSystem* fileSystem);
    static IVEXFileSystem& GetFileSystem();

private:
    VEXString m_Path;
};

// Directory and temporary-file helpers on the real file system.
class VEXFileUtil
{
public:
    static VEXString GetSeparator() { return VEXString("/"); }
    static VEXString GetTempDirectory() { return VEXString("/tmp"); }
    // From "/proc/self/exe"; empty on failure.
    static VEXString GetExecutablePath();
    // Creates a unique file (or directory) below `directory` whose name starts
    // with `prefix`; its path goes to `out`.
    static bool CreateTempFile(const VEXString& directory, const VEXString& prefix, VEXFile& out);
    static bool CreateTempDirectory(const VEXString& directory, const VEXString& prefix,
                                    VEXFile& out);
    // Overwrites an existing destination.
    static bool CopyFile(const VEXFile& from, const VEXFile& to);
    // Rename, or copy and delete across file systems.
    static bool MoveFile(const VEXFile& from, const VEXFile& to);
    static bool RenameFile(const VEXFile& from, const VEXFile& to);
    // Names of the entries of `directory` (not "." or ".."), sorted.
    static bool ListDirectory(const VEXFile& directory, std::vector<VEXString>& names);
    // Recursive copy; `to` is created.
    static bool CopyDirectory(const VEXFile& from, const VEXFile& to);
};
