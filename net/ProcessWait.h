#pragma once

#include "ServiceFolder.h"

#include <chrono>

enum class WaitOutcome
{
    WAIT_ENDED,      // the process has ended
    WAIT_TIMED_OUT,  // the deadline passed first
    WAIT_PARENT_GONE // the process to watch besides it ended first
};

// Sleeps in poll(2) on pidfds until `process` (pid and start time, so a later
// process given the same pid is never waited for) has ended, or until
// `deadline`. When `iParentPid` is above 1, gives up as soon as that process
// ends, or at once when it is no longer our parent. A zombie counts as ended.
// Throws Poco::SystemException when a process cannot be watched (no
// descriptors left). Linux only.
WaitOutcome waitForEnd(const ServicePid& process, std::chrono::steady_clock::time_point deadline,
                       int iParentPid = 0);
