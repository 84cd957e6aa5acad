#include "ProcessAlive.h"

#include <cerrno>
#include <signal.h>

bool isProcessAlive(int64_t pid)
{
    // Pids of 0 and below name process groups; they are never the watchdog.
    if (pid <= 0 || pid > INT32_MAX)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}
