#pragma once

#include "StatusWriter.h"
#include "WatchProcess.h"
#include "WatchdogPlatform.h"

#include <Poco/Clock.h>

#include <cstdint>
#include <map>
#include <string>

class WatchdogServerModule;

// The module's status snapshot: what it keeps for it beyond the design's own
// records (when each dependent service last changed, how often; a record's
// restarts are kept in the record), and the building and publishing of the
// snapshot at the end of a pass. None of it changes what an operation does
// or logs. Used by the worker thread only, and by start-up before it runs.
class StatusReport
{
public:
    StatusReport();

    // checkAndStartServer has asked for `service`'s status: its first query,
    // which counts as its last change until a real one.
    void serviceQueried(const std::string& service);
    // The cycle saw `service`'s status change.
    void serviceChanged(const std::string& service);
    // The cycle restarted `process` (called launchProcess for it).
    static void processRestarted(WatchProcess& process);

    // The end of a pass that began at `passStarted`: builds the snapshot and
    // hands it to the platform's writer, when there is one and a second has
    // passed since the last write (the first pass writes at once).
    void passEnded(const WatchdogServerModule& module, const WatchdogPlatform& platform, uint32_t nowMs,
                   const Poco::Clock& passStarted);

    // The snapshot as of the module's now (its seconds-based milliseconds).
    StatusSnapshot build(const WatchdogServerModule& module, const char* serviceManager, uint32_t nowMs,
                         uint32_t lastPassMs) const;

    // Wall-clock milliseconds since 1970.
    static int64_t wallClockMs();

private:
    struct ServiceSeen
    {
        int64_t changedAtMs = 0;
        uint32_t changes = 0;
    };

    std::map<std::string, ServiceSeen> m_mapServiceSeen;
    int64_t m_nStartedAtMs;
    Poco::Clock m_lastWrite;
    bool m_bWritten = false;
};
