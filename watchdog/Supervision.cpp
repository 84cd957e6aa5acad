// The supervision cycle, run once at the end of every loop pass: restart the
// watched processes whose feeds stopped, then poll the dependent services.
#include "LogRecord.h"
#include "WatchdogServerModule.h"

namespace
{
// Expired cycles tolerated after a restart before the next one.
const int32_t GRACE_CYCLES = 3; // restart once graceCount is above this
const char* const DOG_SUFFIX = "_DOG";
} // namespace

int WatchdogServerModule::handleClientProcess()
{
    // One budget per pass for waiting on a service manager that does not
    // answer, so a manager that is gone cannot hold the pass for long.
    m_platform.services.beginPass();
    for (auto it = m_mapWatchProcess.begin(); it != m_mapWatchProcess.end();)
    {
        WatchProcess& process = it->second;
        const uint32_t now = nowMs();
        const uint32_t elapsed = now - process.lastFeedMs;
        if (elapsed < process.timeoutMs)
        {
            ++it;
            continue;
        }
        // Every change below outlives a restart of the watchdog.
        m_bRegistryChanged = true;
        // lastFeedMs stays, so a tolerated record is expired again next cycle
        // and the tolerance counts cycles since the restart, feeds or not.
        if (process.watchState == WatchState::Restarted && process.graceCount <= GRACE_CYCLES)
        {
            ++process.graceCount;
            ++it;
            continue;
        }

        process.graceCount = 0;
        process.lastFeedMs = now;
        process.watchState = WatchState::Restarted;
        killProcess(process);
        const std::string serviceName = process.serviceName;
        const std::string processName = process.processName;
        // Keeps the record under `it`, so the iterator stays valid.
        removeSameServiceProcess(serviceName, processName);
        if (m_platform.services.open(serviceName)->isRegistered())
        {
            launchProcess(process);
            ++process.restartCount;
            StatusReport::processRestarted(process);
            ++it;
        }
        else
        {
            it = m_mapWatchProcess.erase(it);
        }
    }

    for (auto& [name, storedStatus] : m_mapServerStatus)
    {
        const std::string serviceName = name;
        const int32_t status = getServerStatus(serviceName);
        if (status != storedStatus)
        {
            const int32_t oldStatus = storedStatus;
            storedStatus = status;
            m_statusReport.serviceChanged(serviceName);
            WTD_CRITICAL("[%s %?d] %s Status changed from %s to %s!\n", serviceName, serverStatusText(oldStatus),
                         serverStatusText(status));
        }
        if (status != SERVER_STOP)
            continue;
        // A dependent service that registered itself as "<name>_DOG" is
        // restarted through its own registration, not from here.
        if (m_mapWatchProcess.find(serviceName + DOG_SUFFIX) != m_mapWatchProcess.end())
            continue;
        m_platform.processes.launch("net", {"start", serviceName});
        WTD_INFO("[%s %?d] start %s int the loop!\n", serviceName);
    }
    return 0;
}
