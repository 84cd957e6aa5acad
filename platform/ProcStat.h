#pragma once

#include <cstdint>
#include <optional>

// What /proc/PID/stat says about one process: its state letter, its parent's
// pid, its process group and session, and its start time (clock ticks since
// boot, field 22). The start time tells a process from a later one that was
// given the same pid. Linux only.
namespace ProcStat
{
struct Info
{
    char cState;
    uint64_t uStartTime;
    int iParentPid;
    int iProcessGroup;
    int iSession;
};

// The process's state, parent, group, session and start time; nullopt when it does not exist or its
// stat line cannot be parsed. Never throws.
std::optional<Info> read(int pid);

// Whether `info` describes a process that still runs: a zombie ('Z') or a
// dead task ('X'/'x') has ended even while its pid is still taken.
bool isLiveState(char cState);
} // namespace ProcStat
