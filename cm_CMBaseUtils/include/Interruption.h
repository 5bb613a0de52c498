#pragma once

// Termination signals during a run are noted, not obeyed at once: killed
// half way, the program would leave device rule files installed, a
// controller session open and an empty report. The work checks for a noted
// signal at its safe points (between download chunks, between controller
// attempts and polls, in its retry pauses), gives up there as on any other
// failure, tears down, writes a truthful report and exits non-zero.
namespace interruption
{

// Installs the noting handler for SIGTERM, SIGHUP and SIGINT, with
// SA_RESTART so that interrupted system calls resume. A signal the process
// was started with ignored (nohup, a background job) stays ignored. False
// when a handler could not be installed.
bool InstallDeferredHandlers();

// The first signal noted, 0 when none.
int PendingSignal();

// True when a signal was noted and no Shield is up: the caller is at a safe
// point and should stop there.
bool StopRequested();

// Marks a teardown: while one lives StopRequested() is false, so the
// clean-up's own requests, retries and pauses run to their end.
class Shield
{
public:
    Shield();
    ~Shield();
    Shield(const Shield&) = delete;
    Shield& operator=(const Shield&) = delete;
};

// Sleeps for `seconds`, returning early (false) once a stop is requested.
// Without one, a signal does not cut the pause short.
bool SleepUnlessStopped(unsigned seconds);

// What the handler does, and forgetting it: for tests.
void NoteSignal(int signal);
void ResetForTesting();

} // namespace interruption
