// The three services the product depends on, checked and started once when
// the module starts; the supervision cycle keeps polling them afterwards.
#include "DependentServices.h"
#include "LogRecord.h"
#include "WatchdogServerModule.h"

int WatchdogServerModule::checkAndStartServer()
{
    m_platform.services.beginPass();
    m_mapServerStatus.clear();
    for (const char* name : DEPENDENT_SERVICES)
    {
        const std::string serviceName = name;
        const int32_t status = getServerStatus(serviceName);
        m_mapServerStatus[serviceName] = status;
        m_statusReport.serviceQueried(serviceName);
        if (status == SERVER_UNREGISTERED)
            WTD_INFO("[%s %?d] Process[%s] is unregistered!", serviceName);
        else if (status == SERVER_RUNNING)
            WTD_INFO("[%s %?d] Process[%s] is running!", serviceName);
        else if (status == SERVER_EXCEPTION)
            WTD_INFO("[%s %?d] Process[%s] is exception!", serviceName);
        else
            m_platform.processes.launch("net", {"start", serviceName});
    }
    return 0;
}
