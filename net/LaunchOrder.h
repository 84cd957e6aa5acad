#pragma once

#include "ServiceFolder.h"

#include <string>
#include <vector>

// Part of CommandAdmission: what keeps `net` commands that one parent
// launches back to back, without waiting for them, in launch order, when the
// kernel lets a later one reach the queue first. Linux only (reads /proc).
//
// The `net` commands for `name` that our parent `iParentPid` launched before
// `self` (by start time, then pid) and that still run, in launch order. The
// candidates are the children the parent's threads list in /proc. A sibling
// caught between fork and exec may still become one: it is looked at again
// every few milliseconds until it has exec'd, at most `iGraceMs`, and then
// left out. Empty for an orphan. Never throws.
std::vector<ServicePid> earlierNetSiblings(const std::string& name, const ServicePid& self, int iParentPid,
                                           int iGraceMs);
