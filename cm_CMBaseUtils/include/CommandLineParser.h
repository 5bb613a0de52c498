#pragma once

#include <string>

// Build marker kept in the executable so the toolkit version can be read from
// the file; nothing prints it.
extern const char ktr_version[];

// Command line of the update package:
//   -h | -i | -u | -o <file> | -f | -v | -d [file]
// Options are whole arguments, matched byte for byte.
class CCommandLineParser
{
public:
    CCommandLineParser() = default;
    virtual ~CCommandLineParser() = default;

    // True to proceed (including after "-h"), false on a usage error. Prints
    // the usage text when it stops. "-d" creates the debug marker file in the
    // working directory; the marker's presence turns debugging on.
    bool parseCLI(int argc, char* argv[]);
    void printUsage();

    std::string getDebugFilename() const { return m_strDebugFileName; }
    std::string getOutputFileName() const { return m_strOutputFileName; }
    bool isInventory() const { return m_bInventory; }
    bool isUpdate() const { return m_bUpdate; }
    bool isDebug() const { return m_bDebug; }
    bool isForceMode() const { return m_bForce; }
    bool isVerify() const { return m_bVerify; }

private:
    std::string m_strDebugFileName = "debug.log";
    std::string m_strOutputFileName;
    bool m_bForce = false;
    bool m_bDebug = false;
    bool m_bInventory = false;
    bool m_bUpdate = false;
    bool m_bVerify = false;
    int m_nArgIndex = 1;
};
