#pragma once

// Runs the real lumoswitch binary from a package directory inside the sandbox
// (sandbox.sh) and gives the scenario what it left behind: exit status,
// standard output and error, the stand-ins' record, the simulated library's
// trace and the images each switch received.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace e2e
{

using Bytes = std::vector<uint8_t>;

// Build-time locations, from the e2e CMakeLists.txt.
struct Paths {
    static std::string Program() { return LUMO_E2E_PROGRAM; }
    static std::string SimLibrary() { return LUMO_E2E_SIM_LIBRARY; }
    static std::string NoEntryLibrary() { return LUMO_E2E_NOENTRY_LIBRARY; }
    static std::string Sandbox() { return LUMO_E2E_SANDBOX; }
    static std::string ScratchRoot() { return LUMO_E2E_SCRATCH; }
    static std::string SerialTable() { return LUMO_E2E_SERIAL_TABLE; }
    // The simulated IPMI device; empty where it is not built.
    static std::string IpmiPreload()
    {
#ifdef LUMO_E2E_IPMI_PRELOAD
        return LUMO_E2E_IPMI_PRELOAD;
#else
        return "";
#endif
    }
};

// Packages are unpacked by root with the usual umask. A test run under a
// looser one would make the package folders it builds writable by the group,
// which the program rightly refuses to use: the tests build theirs as root
// does.
inline const bool kPackageUmaskSet = [] {
    umask(022);
    return true;
}();

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Deterministic image content of the given size.
inline std::string ImageBytes(size_t size, unsigned seed)
{
    std::string image(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<char>(x >> 16);
    }
    return image;
}

// Row `index` of the built-in platform-serial table (key, component ID), read
// from the data file the build turns into the table.
inline std::pair<std::string, std::string> TableRow(size_t index)
{
    size_t n = 0;
    for (const std::string& line : Lines(ReadFile(Paths::SerialTable()))) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (n++ == index) {
            const size_t comma = line.find(',');
            return {line.substr(0, comma), line.substr(comma + 1)};
        }
    }
    ADD_FAILURE() << "platform-serial table has no row " << index;
    return {};
}

inline void DropGroupOtherWrite(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::permissions(
        path, std::filesystem::perms::group_write | std::filesystem::perms::others_write,
        std::filesystem::perm_options::remove, ignored);
}

// A package directory as it is unpacked on a server: the executable,
// package.xml, payload/ and the simulated storage library.
class PackageDir
{
public:
    explicit PackageDir(const std::string& name) : m_path(Paths::ScratchRoot() + "/" + name)
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
        std::filesystem::create_directories(m_path + "/payload");
        std::filesystem::copy_file(Paths::Program(), m_path + "/lumoswitch");
        std::filesystem::copy_file(Paths::SimLibrary(), m_path + "/libstorelibit.so");
        // Unpacked by root as on a server: nothing in it writable by group or
        // others, whatever the umask of the test run.
        for (const char* rel : {"", "/payload", "/lumoswitch", "/libstorelibit.so"}) {
            DropGroupOtherWrite(m_path + rel);
        }
    }

    const std::string& path() const { return m_path; }
    std::string file(const std::string& rel) const { return m_path + "/" + rel; }
    // As root unpacks a package: nothing in it writable by group or others,
    // whatever the modes of what was copied in (a source tree exported with
    // git archive has group-writable files).
    void unpackedByRoot() const
    {
        DropGroupOtherWrite(m_path);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_path)) {
            if (!entry.is_symlink()) {
                DropGroupOtherWrite(entry.path().string());
            }
        }
    }
    void write(const std::string& rel, const std::string& content) const
    {
        WriteFile(file(rel), content);
        DropGroupOtherWrite(file(rel));
    }
    std::string read(const std::string& rel) const { return ReadFile(file(rel)); }
    bool exists(const std::string& rel) const { return std::filesystem::exists(file(rel)); }
    void remove(const std::string& rel) const { std::filesystem::remove_all(file(rel)); }

    void topology(const std::string& text) const { write("storelib_topology.conf", text); }
    void package(const std::string& xml) const { write("package.xml", xml); }
    // The library without an entry point in place of the simulator.
    void libraryWithoutEntryPoint() const
    {
        remove("libstorelibit.so");
        std::filesystem::copy_file(Paths::NoEntryLibrary(), file("libstorelibit.so"));
    }

    std::string trace() const { return read("storelib_trace.log"); }
    // What the switch at (controller, device) received.
    std::string received(uint32_t ctrlId, unsigned deviceId) const
    {
        char name[64];
        std::snprintf(name, sizeof(name), "received_%08X_%u.bin", ctrlId, deviceId);
        return read(name);
    }

private:
    std::string m_path;
};

// How the sandbox is set up for one run.
struct SandboxOptions {
    // Recording stand-ins, "NAME" or "NAME=STATUS[,STATUS...]". Every run gets
    // the tools this program may start; these add to or override them.
    std::vector<std::string> standins;
    std::vector<std::string> standinStdout; // "NAME=FILE"
    std::vector<std::string> env;           // "NAME=VALUE"
    // Every run goes through the simulated IPMI device: the sandbox's /dev is
    // this machine's, and a program that found a real /dev/ipmi0 there would
    // talk to the real management controller. The default controller has no
    // device at all, so the program runs as on a server without one.
    std::string ipmiScript = "devices none\n";
    // The program's waits on the device (open retries, reply timeouts) take
    // 1/N of their real time; 1 keeps real time.
    unsigned ipmiTimeScale = 1000;
    std::string preload;            // further LD_PRELOAD libraries, after the IPMI device
    std::string preloadFront;       // LD_PRELOAD libraries in front of the IPMI device
    std::string rootDir;            // tree copied over the sandbox root
    std::vector<std::string> binds; // further host directories, read-write
    // lsmod, modprobe and rmmod keep a module table across the calls of the
    // run: "-" starts it empty, else a host file of "NAME SIZE USERS" lines.
    std::string modules;
    int timeoutSeconds = 60;
};

inline const std::vector<std::string>& DefaultStandins()
{
    static const std::vector<std::string> tools = {
        "lsmod",  "modprobe", "rmmod",           "udevadm",       "udevcontrol", "rpm",
        "umount", "esxcli",   "esxcfg-scsidevs", "esxcfg-rescan", "insmod",      "depmod"};
    return tools;
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
    std::string standins; // "NAME ARG..." per stand-in call
};

inline std::string ShellQuote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

// Runs COMMAND in the package directory inside the sandbox, in front of the
// simulated management controller: its script is written to ipmi.script, its
// request log and state file go to ipmi.log and ipmi.state there (see
// sim/ipmi/README.md).
inline RunResult RunCommand(const PackageDir& pkg, const std::vector<std::string>& command,
                            const SandboxOptions& opts = SandboxOptions())
{
    RunResult r;
    if (Paths::IpmiPreload().empty()) {
        ADD_FAILURE() << "no simulated IPMI device: the run could reach this machine's own";
        return r;
    }
    const std::string outFile = pkg.path() + ".stdout";
    const std::string errFile = pkg.path() + ".stderr";
    const std::string record = pkg.path() + ".standins";
    std::filesystem::remove(record);
    // A run that never opens the device must not show the last run's log.
    std::filesystem::remove(pkg.file("ipmi.log"));
    std::filesystem::remove(pkg.file("ipmi.state"));
    pkg.write("ipmi.script", opts.ipmiScript);
    // The record lives beside the package, in the scratch root bound for it.
    std::string cmd = ShellQuote(Paths::Sandbox()) + " --pkg " + ShellQuote(pkg.path()) +
                      " --bind " + ShellQuote(Paths::ScratchRoot()) + " --record " +
                      ShellQuote(record) + " --timeout " + std::to_string(opts.timeoutSeconds);
    for (const std::string& tool : DefaultStandins()) {
        cmd += " --standin " + ShellQuote(tool);
    }
    for (const std::string& s : opts.standins) {
        cmd += " --standin " + ShellQuote(s);
    }
    for (const std::string& s : opts.standinStdout) {
        cmd += " --standin-stdout " + ShellQuote(s);
    }
    std::vector<std::string> env = {"SIMIPMI_SCRIPT=" + pkg.file("ipmi.script"),
                                    "SIMIPMI_LOG=" + pkg.file("ipmi.log"),
                                    "SIMIPMI_STATE=" + pkg.file("ipmi.state"),
                                    "SIMIPMI_TIME_SCALE=" + std::to_string(opts.ipmiTimeScale)};
    env.insert(env.end(), opts.env.begin(), opts.env.end());
    for (const std::string& e : env) {
        cmd += " --env " + ShellQuote(e);
    }
    for (const std::string& b : opts.binds) {
        cmd += " --bind " + ShellQuote(b);
    }
    std::string preload = Paths::IpmiPreload();
    if (!opts.preloadFront.empty()) {
        preload = opts.preloadFront + ":" + preload;
    }
    if (!opts.preload.empty()) {
        preload += ":" + opts.preload;
    }
    cmd += " --preload " + ShellQuote(preload);
    if (!opts.rootDir.empty()) {
        cmd += " --root " + ShellQuote(opts.rootDir);
    }
    if (!opts.modules.empty()) {
        cmd += " --modules " + ShellQuote(opts.modules);
    }
    cmd += " --";
    for (const std::string& a : command) {
        cmd += " " + ShellQuote(a);
    }
    cmd += " >" + ShellQuote(outFile) + " 2>" + ShellQuote(errFile);

    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadFile(outFile);
    r.err = ReadFile(errFile);
    r.standins = ReadFile(record);
    if (r.status == 125) {
        ADD_FAILURE() << "the sandbox could not be set up: " << r.err;
    }
    return r;
}

// Runs ./lumoswitch ARGS in the package directory inside the sandbox.
inline RunResult RunProgram(const PackageDir& pkg, const std::vector<std::string>& args,
                            const SandboxOptions& opts = SandboxOptions())
{
    std::vector<std::string> command = {"./lumoswitch"};
    command.insert(command.end(), args.begin(), args.end());
    return RunCommand(pkg, command, opts);
}

// Skips the scenario where the sandbox cannot exist (not root) or the
// simulated IPMI device is not built (every run needs it).
#define LUMO_E2E_REQUIRE_SANDBOX()                                                                 \
    do {                                                                                           \
        if (geteuid() != 0) {                                                                      \
            GTEST_SKIP() << "end-to-end scenarios need root for their namespaces";                 \
        }                                                                                          \
        if (::e2e::Paths::IpmiPreload().empty()) {                                                 \
            GTEST_SKIP() << "the simulated IPMI device (simipmi_preload) is not built";            \
        }                                                                                          \
    } while (0)

} // namespace e2e
