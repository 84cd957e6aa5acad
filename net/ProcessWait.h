#pragma once

#include "ServiceFolder.h"

#include <chrono>
#include <vector>

enum class WaitOutcome
{
    WAIT_ENDED,      // every process has ended
    WAIT_TIMED_OUT,  // the deadline passed first
    WAIT_PARENT_GONE // the process to watch besides them ended first
};

// Waits until every process of `vecProcesses` (pid and start time, so a
// later process given the same pid is never waited for) has ended, or until
// `deadline`. When `iParentPid` is above 1, gives up as soon as that process
// ends, or at once when it is no longer our parent. The thread sleeps in
// poll(2) on pidfds: nothing is looked at again and again. A zombie counts as
// ended. Never throws. Linux only.
WaitOutcome waitForEnd(const std::vector<ServicePid>& vecProcesses,
                       std::chrono::steady_clock::time_point deadline, int iParentPid = 0);
