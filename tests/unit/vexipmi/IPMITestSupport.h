#pragma once

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

// Runs a test inside a fresh temporary working directory: the library reads
// its settings file and the debug marker relative to it.
class ScopedTempCwd
{
public:
    ScopedTempCwd()
    {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr) {
            m_Previous = cwd;
        }
        char pattern[] = "/tmp/vexipmi_test_XXXXXX";
        const char* dir = mkdtemp(pattern);
        if (dir != nullptr) {
            m_Dir = dir;
            if (chdir(dir) != 0) {
                m_Dir.clear();
            }
        }
    }
    ~ScopedTempCwd()
    {
        if (!m_Previous.empty() && chdir(m_Previous.c_str()) != 0) {
            // Nothing sensible to do in a destructor; the directory stays.
            return;
        }
        std::error_code ignored;
        if (!m_Dir.empty()) {
            std::filesystem::remove_all(m_Dir, ignored);
        }
    }
    ScopedTempCwd(const ScopedTempCwd&) = delete;
    ScopedTempCwd& operator=(const ScopedTempCwd&) = delete;

    const std::string& path() const { return m_Dir; }

    void write(const std::string& name, const std::string& contents) const
    {
        std::ofstream(m_Dir + "/" + name, std::ios::binary) << contents;
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(m_Dir + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool exists(const std::string& name) const
    {
        return std::filesystem::exists(m_Dir + "/" + name);
    }

private:
    std::string m_Previous;
    std::string m_Dir;
};

// A settings file with the two "Default" levels around `keys`.
inline std::string IPMIConfigXml(const std::string& keys)
{
    return "<?xml version=\"1.0\"?>\n<VEXRoot>\n <Device name=\"Default\">\n"
           "  <Config name=\"Default\">\n" +
           keys + "\n  </Config>\n </Device>\n</VEXRoot>\n";
}
