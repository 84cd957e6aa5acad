#pragma once

#include "ServiceFolder.h"

#include <string>
#include <vector>

// What keeps `net` commands that one parent launches back to back, without
// waiting for them, in launch order (CommandAdmission puts them in the queue
// in that order): the kernel may let a later command get there first. Linux
// only (reads /proc).
//
// The `net` commands for `name` that our parent launched before us (by start
// time, then pid) and that still run, in launch order. A sibling caught
// between fork and exec may still become one: it is looked at again every few
// milliseconds until it has exec'd, at most `iGraceMs`, and then left out.
// Empty for an orphan. Never throws.
std::vector<ServicePid> earlierNetSiblings(const std::string& name, int iGraceMs);
