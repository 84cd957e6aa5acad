#pragma once

#include "ServiceFolder.h"

#include <string>
#include <vector>

// What keeps `net` commands that one parent launches back to back, without
// waiting for them, in launch order: the kernel lets a later command reach a
// lock first. Linux only (reads /proc).
//
// The `net` commands for `name` that our parent launched before us (by start
// time, then pid) and that still run, in launch order. A sibling caught
// between fork and exec may still become one: it is looked at again every few
// milliseconds until it has exec'd, at most `iGraceMs`, and then left out.
// Empty for an orphan. Never throws.
std::vector<ServicePid> earlierNetSiblings(const std::string& name, int iGraceMs);

// Waits until every command earlierNetSiblings finds has ended, at most
// `iTimeoutMs` in all, sleeping on pidfds. Never throws.
void waitForEarlierSiblings(const std::string& name, int iTimeoutMs);
