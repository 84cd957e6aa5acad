// Stopping and starting a watched process through its service with the
// "net" command, and asking the service manager for a service's state.
#include "LogRecord.h"
#include "WatchdogServerModule.h"

int WatchdogServerModule::killProcess(const WatchProcess& process)
{
    WTD_INFO("[%s %?d] kill process[%s]", process.processName);
    // A failed launch propagates: the cycle does not catch it.
    m_platform.processes.launch("net", {"stop", process.serviceName});
    // Asked at once, so a service that takes any time to stop is reported
    // here; the restart goes on regardless.
    if (m_platform.processes.isRunning(static_cast<int>(process.processId)))
        WTD_ERROR("[%s %?d] the killed process[%s] is still running!\n", process.processName);
    return 0;
}

int WatchdogServerModule::launchProcess(const WatchProcess& process)
{
    WTD_INFO("[%s %?d] launch process[%s]", process.serviceName);
    try
    {
        const int pid = m_platform.processes.launch("net", {"start", process.serviceName});
        // What is tested is the "net" command itself: one that is still busy
        // counts as a start under way, one that has already ended as a failure.
        if (!m_platform.processes.isRunning(pid))
        {
            WTD_ERROR("[%s %?d] net start app[%s] fail!", process.serviceName);
            return -12;
        }
    }
    catch (...)
    {
        WTD_INFO("[%s %?d] Launch process[%s] Exception!", "iau");
        return -12;
    }
    WTD_INFO("[%s %?d] launch process[%s] Success", process.serviceName);
    return 0;
}

int WatchdogServerModule::getServerStatus(const std::string& serviceName)
{
    // Opening the manager and the registration query propagate their
    // failures; only the running-state query is turned into a status.
    const std::unique_ptr<ServiceHandle> service = m_platform.services.open(serviceName);
    if (!service->isRegistered())
        return SERVER_UNREGISTERED;
    try
    {
        return service->isRunning() ? SERVER_RUNNING : SERVER_STOP;
    }
    catch (...)
    {
        return SERVER_EXCEPTION;
    }
}
