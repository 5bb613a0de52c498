#include "Interruption.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <initializer_list>

namespace
{

volatile std::sig_atomic_t gSignal = 0;
int gShields = 0;

extern "C" void NoteOnly(int signal)
{
    if (gSignal == 0) {
        gSignal = signal;
    }
}

} // namespace

namespace interruption
{

bool InstallDeferredHandlers()
{
    bool ok = true;
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        struct sigaction current = {};
        if (sigaction(signal, nullptr, &current) != 0) {
            ok = false;
            continue;
        }
        if (current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action = {};
        action.sa_handler = NoteOnly;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ok = sigaction(signal, &action, nullptr) == 0 && ok;
    }
    return ok;
}

int PendingSignal()
{
    return gSignal;
}

bool StopRequested()
{
    return gSignal != 0 && gShields == 0;
}

Shield::Shield()
{
    ++gShields;
}

Shield::~Shield()
{
    --gShields;
}

bool SleepUnlessStopped(unsigned seconds)
{
    struct timespec left = {static_cast<time_t>(seconds), 0};
    while (!StopRequested()) {
        struct timespec rest = {};
        if (nanosleep(&left, &rest) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return true;
        }
        left = rest;
    }
    return false;
}

void NoteSignal(int signal)
{
    NoteOnly(signal);
}

void ResetForTesting()
{
    gSignal = 0;
    gShields = 0;
}

} // namespace interruption
