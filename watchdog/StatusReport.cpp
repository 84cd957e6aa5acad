// The status snapshot: built from the registry and the service table at the
// end of a pass, at most once a second, and handed to the StatusWriter seam.
#include "StatusReport.h"

#include "WatchdogServerModule.h"
#include "WatchdogVersion.h"

#include <Poco/Process.h>
#include <Poco/Timestamp.h>

namespace
{
const Poco::Clock::ClockDiff WRITE_INTERVAL_US = 1000000;
const char* const DOG_SUFFIX = "_DOG";
} // namespace

StatusReport::StatusReport() : m_nStartedAtMs(wallClockMs()) {}

int64_t StatusReport::wallClockMs()
{
    return Poco::Timestamp().epochMicroseconds() / 1000;
}

void StatusReport::serviceQueried(const std::string& service)
{
    m_mapServiceSeen[service] = ServiceSeen{wallClockMs(), 0};
}

void StatusReport::serviceChanged(const std::string& service)
{
    ServiceSeen& seen = m_mapServiceSeen[service];
    seen.changedAtMs = wallClockMs();
    ++seen.changes;
}

void StatusReport::processRestarted(WatchProcess& process)
{
    ++process.restartsSeen;
    process.lastRestartAtMs = wallClockMs();
}

void StatusReport::passEnded(const WatchdogServerModule& module, const WatchdogPlatform& platform,
                             uint32_t nowMs, const Poco::Clock& passStarted)
{
    if (platform.status == nullptr || (m_bWritten && m_lastWrite.elapsed() < WRITE_INTERVAL_US))
        return;
    m_lastWrite.update();
    m_bWritten = true;
    const auto lastPassMs = static_cast<uint32_t>(passStarted.elapsed() / 1000);
    platform.status->write(build(module, platform.serviceManager, nowMs, lastPassMs));
}

StatusSnapshot StatusReport::build(const WatchdogServerModule& module, const char* serviceManager,
                                   uint32_t nowMs, uint32_t lastPassMs) const
{
    StatusSnapshot s;
    s.version = ZELVIN_WATCHDOG_VERSION;
    s.pid = Poco::Process::id();
    s.startedAtMs = m_nStartedAtMs;
    s.updatedAtMs = wallClockMs();
    s.serviceManager = serviceManager;
    s.passes = module.passCount();
    s.lastPassMs = lastPassMs;
    s.clients = module.clientCount();

    const std::map<std::string, WatchProcess>& records = module.watchProcesses();
    s.processes.reserve(records.size());
    for (const auto& [name, record] : records)
    {
        ProcessStatus& p = s.processes.emplace_back();
        p.name = name;
        p.service = record.serviceName;
        p.pid = record.processId;
        if (record.timeoutMs != WATCHDOG_TIMEOUT_NEVER)
            p.timeoutMs = record.timeoutMs;
        p.lastFeedAgeMs = nowMs - record.lastFeedMs; // the cycle's own arithmetic
        p.restarted = record.watchState == WatchState::Restarted;
        p.graceCount = record.graceCount;
        p.restarts = record.restartsSeen;
        if (record.restartsSeen > 0)
            p.lastRestartAtMs = record.lastRestartAtMs;
    }

    for (const auto& [name, status] : module.serverStatuses())
    {
        ServiceStatusEntry& entry = s.services.emplace_back();
        entry.name = name;
        entry.status = status;
        const auto seen = m_mapServiceSeen.find(name);
        if (seen != m_mapServiceSeen.end())
        {
            entry.changedAtMs = seen->second.changedAtMs;
            entry.changes = seen->second.changes;
        }
        const std::string dog = name + DOG_SUFFIX;
        if (records.find(dog) != records.end())
            entry.suppressedBy = dog;
    }
    return s;
}
