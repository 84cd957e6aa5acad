#pragma once

#include <string>

// Keeps `net` commands that one parent launches back to back, without waiting
// for them, in launch order: the lock alone lets a later command overtake an
// earlier one. Linux only (reads /proc).
//
// Waits until every process with our parent that was created before us (by
// start time, then pid) and is, or may still become by exec, a `net` command
// for `name` has ended; siblings that are something else are not waited for.
// Gives up and returns after `iTimeoutMs` in all, so the caller goes on to the
// service lock as without ordering. Never throws; the calling thread sleeps
// between looks.
void waitForEarlierSiblings(const std::string& name, int iTimeoutMs);
