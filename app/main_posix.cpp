#include "ChildReaper.h"
#include "ProcessLimits.h"
#include "RunWatchdog.h"

int main(int argc, char** argv)
{
    // Each client holds a descriptor and an accept failure ends the worker,
    // so take every descriptor the system allows before anything listens.
    ProcessLimits::raiseOpenFileLimit();
    // "net" commands are started and never waited for; reap them as they end.
    ChildReaper::install();
    return runWatchdog(argc, argv);
}
