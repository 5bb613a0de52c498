// Runs a command and reports, on standard error, the peak resident memory and
// CPU time of it and the children it waited for.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_rusage COMMAND [ARGS...]\n");
        return 2;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 2;
    }
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        std::perror("exec");
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("wait4");
        return 2;
    }
    std::fprintf(stderr, "maxrss_kib=%ld user_s=%.3f sys_s=%.3f\n", usage.ru_maxrss,
                 usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
                 usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
