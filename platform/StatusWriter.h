#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the watchdog knows at the end of a pass, as plain values. The worker
// builds it from its registry and service table; a StatusWriter publishes it.
// Times "at" are wall-clock milliseconds since 1970 (UTC); ages and lengths
// are milliseconds.

// One watched-process record.
struct ProcessStatus
{
    std::string name;    // bytes as received: not necessarily UTF-8
    std::string service; // likewise
    uint32_t pid = 0;
    std::optional<uint32_t> timeoutMs; // none: the record never expires
    uint32_t lastFeedAgeMs = 0;        // since the last feed, registration, re-arm or restart
    bool restarted = false;            // the cycle has restarted it ("restarted"), else "watching"
    int32_t graceCount = 0;
    uint32_t restarts = 0;                  // since it was registered or restored
    std::optional<int64_t> lastRestartAtMs; // none: not restarted since then
};

// One dependent service.
struct ServiceStatusEntry
{
    std::string name;
    int32_t status = 0;      // a ServerStatus code: 0 running, 1 stop, 2 unregistered, 3 exception
    int64_t changedAtMs = 0; // the last change, or the first query
    uint32_t changes = 0;    // changes seen since the first query
    std::optional<std::string> suppressedBy; // the NAME_DOG record's name while it exists
};

struct StatusSnapshot
{
    std::string version;
    int64_t pid = 0;
    int64_t startedAtMs = 0;
    int64_t updatedAtMs = 0;
    std::string serviceManager; // "folder", "systemd" or "windows"
    uint64_t passes = 0;
    uint32_t lastPassMs = 0;
    uint64_t clients = 0;                     // open client connections
    std::vector<ProcessStatus> processes;     // in registry order (by name, byte-wise)
    std::vector<ServiceStatusEntry> services; // in service-table order
};

// The watchdog module's seam to wherever its status goes: the real one
// (StatusFiles) replaces status.json in the runtime folder and, when asked
// to, zelvin_watchdog.prom in a metrics folder; tests record the snapshots.
class StatusWriter
{
public:
    virtual ~StatusWriter() = default;

    // Publishes `snapshot`. Called on the worker thread, at most once a
    // second. Never throws: a writer reports its own failures.
    virtual void write(const StatusSnapshot& snapshot) = 0;
};
