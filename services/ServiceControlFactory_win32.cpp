#include "ServiceControlFactory.h"

#include "AllowedServiceControl.h"
#include "ConfigFolder.h"
#include "LogRecord.h"
#include "RetryingServiceControl.h"
#include "WinServiceControl.h"

std::unique_ptr<ServiceControl> makeSystemServiceControl()
{
    DIAG_INFO("[%s %?d] service manager: %s", "service control manager");
    // The service control manager ignores the case of service names, and so
    // does the list.
    auto pAllowed = std::make_unique<AllowedServiceControl>(
        std::make_unique<RetryingServiceControl>(std::make_unique<WinServiceControl>()), configFolder(),
        ServiceAllowList::FALLBACK_DEPENDENT_ONLY, true);
    DIAG_INFO("[%s %?d] service allow-list: %s", pAllowed->list().describe());
    return pAllowed;
}
