#include "ChildReaper.h"
#include "ProcessLimits.h"
#include "RunWatchdog.h"

#include <csignal>
#include <cstdlib>

namespace
{
// SIGINT, SIGTERM and SIGQUIT wait, blocked, for the framework's sigwait at
// the end of start-up, and every thread inherits the mask. Left unblocked, one
// that arrives during start-up ends the process by its default action, or is
// taken by another thread once the main thread blocks it. The framework
// leaves SIGINT to a debugger when POCO_ENABLE_DEBUGGER is set; so does this.
void holdTerminationSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    if (std::getenv("POCO_ENABLE_DEBUGGER") == nullptr)
        sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGQUIT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}
} // namespace

int main(int argc, char** argv)
{
    holdTerminationSignals();
    // Each client holds a descriptor and an accept failure ends the worker,
    // so take every descriptor the system allows before anything listens.
    ProcessLimits::raiseOpenFileLimit();
    // "net" commands are started and never waited for; reap them as they end.
    ChildReaper::install();
    return runWatchdog(argc, argv);
}
