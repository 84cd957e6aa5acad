#pragma once

#include <cstdint>
#include <string>

enum class WatchState : uint32_t
{
    Registered = 1, // set by a register message
    Restarted = 2,  // set by the supervision cycle when it restarts the process
};

// The registry's record of one watched process, held by value and keyed by
// processName.
struct WatchProcess
{
    std::string processName;
    std::string serviceName; // the service that stops and starts the process
    std::string extraInfo;   // kept as received, never interpreted
    uint32_t processId = 0;
    uint32_t timeoutMs = 0xFFFFFFFFu; // 0xFFFFFFFF never expires and may be re-armed
    uint32_t lastFeedMs = 0;          // last feed, registration, re-arm or restart
    uint32_t restartCount = 0;        // launchProcess calls, whatever their outcome
    int32_t graceCount = 0;           // expired cycles tolerated while Restarted
    WatchState watchState = WatchState::Registered;
    // For the status snapshot only, and not saved with the registry: they
    // count from the record's registration or restoration.
    uint32_t restartsSeen = 0;   // restarts since then
    int64_t lastRestartAtMs = 0; // wall clock of the last, ms since 1970
};
