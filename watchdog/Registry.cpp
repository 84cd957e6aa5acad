// The registry of watched processes and the handlers of register, cancel and
// feed messages.
#include "LogRecord.h"
#include "WatchdogServerModule.h"

int WatchdogServerModule::registerWatchdog(const WatchdogMsg* msg)
{
    if (!msg)
    {
        WTD_ERROR("[%s %?d] watchdog msg is null!\n");
        return -4;
    }
    const std::string name = WatchdogWire::text(msg->processName);
    auto it = m_mapWatchProcess.find(name);
    if (it == m_mapWatchProcess.end())
    {
        WTD_INFO("[%s %?d] register new process[%s]\n", name);
        WatchProcess process;
        process.processName = name;
        process.serviceName = WatchdogWire::text(msg->serviceName);
        process.extraInfo = WatchdogWire::text(msg->extraInfo);
        process.processId = WatchdogWire::processId(*msg);
        process.timeoutMs = WatchdogWire::timeoutMs(*msg);
        process.lastFeedMs = nowMs();
        m_mapWatchProcess.emplace(name, std::move(process));
        m_bRegistryChanged = true;
        return 0;
    }

    WatchProcess& process = it->second;
    if (process.timeoutMs == WATCHDOG_TIMEOUT_NEVER)
    {
        // A record that never expires may be armed later by the same process,
        // silently; its texts and restart count stay.
        process.lastFeedMs = nowMs();
        process.timeoutMs = WatchdogWire::timeoutMs(*msg);
        process.processId = WatchdogWire::processId(*msg);
        process.watchState = WatchState::Registered;
        process.graceCount = 0;
        m_bRegistryChanged = true;
        return 0;
    }

    WTD_INFO("[%s %?d] register process[%s] is existed!\n", name);
    return 0;
}

int WatchdogServerModule::cancelWatchdog(const WatchdogMsg* msg)
{
    if (!msg)
    {
        WTD_ERROR("[%s %?d] watchdog msg is null!\n");
        return -4;
    }
    const std::string name = WatchdogWire::text(msg->processName);
    auto it = m_mapWatchProcess.find(name);
    if (it == m_mapWatchProcess.end())
    {
        WTD_INFO("[%s %?d] cancel process[%s] is not existed!\n", name);
        return 0;
    }
    WTD_INFO("[%s %?d] cancel process[%s]!\n", name);
    m_mapWatchProcess.erase(it);
    m_bRegistryChanged = true;
    return 0;
}

int WatchdogServerModule::feedWatchdog(const WatchdogMsg* msg)
{
    if (!msg)
    {
        // Information, not error, unlike the other two handlers.
        WTD_INFO("[%s %?d] watchdog msg is null!\n");
        return -4;
    }
    const std::string name = WatchdogWire::text(msg->processName);
    auto it = m_mapWatchProcess.find(name);
    if (it == m_mapWatchProcess.end())
    {
        WTD_INFO("[%s %?d] feed process[%s] is not existed!\n", name);
        return 0;
    }
    WTD_INFO("[%s %?d] feed process[%s]!\n", name);
    it->second.lastFeedMs = nowMs();
    return 0;
}

int WatchdogServerModule::removeSameServiceProcess(const std::string& serviceName,
                                                   const std::string& processName)
{
    Poco::FastMutex::ScopedLock lock(m_mutex);
    for (auto it = m_mapWatchProcess.begin(); it != m_mapWatchProcess.end();)
    {
        if (it->second.serviceName == serviceName && it->second.processName != processName)
        {
            it = m_mapWatchProcess.erase(it);
            m_bRegistryChanged = true;
        }
        else
            ++it;
    }
    return 0;
}
