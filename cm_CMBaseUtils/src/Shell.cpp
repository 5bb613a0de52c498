#include "Shell.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "VEXIO.h"

extern char** environ;

namespace shell
{

const char kChildPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

namespace
{

const char kShell[] = "/bin/sh";

// The program's environment with PATH replaced.
class ChildEnvironment
{
public:
    ChildEnvironment()
    {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, "PATH=", 5) != 0) {
                m_strings.emplace_back(*entry);
            }
        }
        m_strings.push_back(std::string("PATH=") + kChildPath);
        for (std::string& s : m_strings) {
            m_pointers.push_back(&s[0]);
        }
        m_pointers.push_back(nullptr);
    }
    char** get() { return m_pointers.data(); }

private:
    std::vector<std::string> m_strings;
    std::vector<char*> m_pointers;
};

// While a child runs, the parent ignores SIGINT and SIGQUIT and holds back
// SIGCHLD, as system(3) does; the child starts with the dispositions and the
// mask the program had.
class ShellSignals
{
public:
    ShellSignals()
    {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &m_int);
        sigaction(SIGQUIT, &ignore, &m_quit);
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        sigprocmask(SIG_BLOCK, &chld, &m_mask);

        posix_spawnattr_init(&m_attr);
        sigset_t defaults;
        sigemptyset(&defaults);
        if (m_int.sa_handler != SIG_IGN) {
            sigaddset(&defaults, SIGINT);
        }
        if (m_quit.sa_handler != SIG_IGN) {
            sigaddset(&defaults, SIGQUIT);
        }
        posix_spawnattr_setsigdefault(&m_attr, &defaults);
        posix_spawnattr_setsigmask(&m_attr, &m_mask);
        posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~ShellSignals()
    {
        posix_spawnattr_destroy(&m_attr);
        sigaction(SIGINT, &m_int, nullptr);
        sigaction(SIGQUIT, &m_quit, nullptr);
        sigprocmask(SIG_SETMASK, &m_mask, nullptr);
    }
    ShellSignals(const ShellSignals&) = delete;
    ShellSignals& operator=(const ShellSignals&) = delete;
    const posix_spawnattr_t* attr() const { return &m_attr; }

private:
    struct sigaction m_int = {};
    struct sigaction m_quit = {};
    sigset_t m_mask;
    posix_spawnattr_t m_attr;
};

int Wait(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

int Spawn(const std::string& command, const posix_spawn_file_actions_t* actions,
          const ShellSignals& signals, pid_t& pid)
{
    std::string text = command;
    char arg0[] = "sh";
    char arg1[] = "-c";
    char* argv[] = {arg0, arg1, &text[0], nullptr};
    ChildEnvironment env;
    return posix_spawn(&pid, kShell, actions, signals.attr(), argv, env.get());
}

} // namespace

int Run(const std::string& command)
{
    ShellSignals signals;
    pid_t pid = 0;
    if (Spawn(command, nullptr, signals, pid) != 0) {
        return -1;
    }
    return Wait(pid);
}

bool Capture(const std::string& command, std::size_t maxBytes, std::string& output)
{
    output.clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = 0;
    int spawned = 0;
    {
        ShellSignals signals;
        spawned = Spawn(command, &actions, signals, pid);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (spawned == 0) {
            char buffer[4096];
            for (;;) {
                const ssize_t got = VEXReadOnce(fds[0], buffer, sizeof(buffer));
                if (got <= 0) {
                    break;
                }
                const std::size_t room = maxBytes - output.size();
                output.append(buffer, static_cast<std::size_t>(got) < room
                                          ? static_cast<std::size_t>(got)
                                          : room);
            }
            Wait(pid);
        }
    }
    close(fds[0]);
    return spawned == 0;
}

} // namespace shell
