#include "CommandLineParser.h"

#include <cstring>
#include <iostream>

#include "Logger.h"
#include "PlatformLayer.h"

// Referenced nowhere; "used" keeps it in the executable.
__attribute__((used)) const char ktr_version[] =
    "@(#) KTR LUMO switch update toolkit version 1.0.0 build 0001";

namespace
{
const char kInventoryLogName[] = "debug_inv.log";
const char kUpdateLogName[] = "debug_update.log";
} // namespace

void CCommandLineParser::printUsage()
{
    std::cout << "\n"
              << "Usage: -h\n"
              << "\tProvides detailed help information\n"
              << "\n"
              << "Usage: -i [-o <output filename>] [-debug]\n"
              << "\tProvides inventory information of all identified devices.\n"
              << "\t-o Specifies the output filename.\n"
              << "\t-d Specifies to create a debug log file.\n"
              << "\n"
              << "Usage: -u [-s <image folder>] [-f] [-o <output filename>] [-debug [filename]]\n"
              << std::string(75, '=') << "\n"
              << std::flush;
}

bool CCommandLineParser::parseCLI(int argc, char* argv[])
{
    if (argc <= 1 || argv == nullptr) {
        printUsage();
        return false;
    }
    std::string modeLogName;
    for (; m_nArgIndex < argc; ++m_nArgIndex) {
        const char* arg = argv[m_nArgIndex];
        if (arg == nullptr) {
            break;
        }
        const std::string option = arg;
        if (option == "-u") {
            m_bUpdate = true;
            modeLogName = kUpdateLogName;
        } else if (option == "-i") {
            m_bInventory = true;
            modeLogName = kInventoryLogName;
        } else if (option == "-o") {
            if (m_nArgIndex + 1 >= argc || argv[m_nArgIndex + 1] == nullptr) {
                printUsage();
                return false;
            }
            m_strOutputFileName = argv[++m_nArgIndex];
        } else if (option == "-f") {
            m_bForce = true;
        } else if (option == "-v") {
            m_bVerify = true;
        } else if (option == "-d") {
            CPlatformLayer::CreateEmptyZUKDebuLogFile();
            WantDebugLogging();
            m_bDebug = true;
            m_strDebugFileName = modeLogName;
            const char* next = m_nArgIndex + 1 < argc ? argv[m_nArgIndex + 1] : nullptr;
            if (next != nullptr && next[0] != '-') {
                m_strDebugFileName = next;
                ++m_nArgIndex;
            }
        } else if (option == "-h") {
            printUsage();
            return true;
        } else {
            printUsage();
            return false;
        }
    }
    if (!m_bDebug && DebugLoggingWanted()) {
        m_bDebug = true;
        m_strDebugFileName = modeLogName;
    }
    return true;
}
