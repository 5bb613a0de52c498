#pragma once

// Helpers for the command-line, debug-log and platform-layer tests.

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace foundationtest
{

// A fresh directory under the system temp dir, removed with its contents.
// With enter set, the process works inside it until destruction.
class TempDir
{
public:
    explicit TempDir(bool enter = false)
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lumo_found_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        m_path = pattern;
        if (enter) {
            char previous[PATH_MAX] = {0};
            if (getcwd(previous, sizeof(previous)) == nullptr || chdir(m_path.c_str()) != 0) {
                ADD_FAILURE() << "cannot enter " << m_path;
                return;
            }
            m_previous = previous;
        }
    }
    ~TempDir()
    {
        if (!m_previous.empty() && chdir(m_previous.c_str()) != 0) {
            ADD_FAILURE() << "cannot return to " << m_previous;
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

    void write(const std::string& name, const std::string& content) const
    {
        std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
        out << content;
    }

private:
    std::string m_path;
    std::string m_previous;
};

inline bool exists(const std::string& path)
{
    return std::filesystem::exists(path);
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace foundationtest
