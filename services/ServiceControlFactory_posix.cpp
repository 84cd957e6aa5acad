#include "ServiceControlFactory.h"

#include "AllowedServiceControl.h"
#include "ConfigFolder.h"
#include "FolderServiceControl.h"
#include "LogRecord.h"
#include "RetryingServiceControl.h"
#include "ServiceFolder.h"
#include "ServiceManagerChoice.h"
#include "SystemdServiceControl.h"

std::unique_ptr<ServiceControl> makeSystemServiceControl()
{
    const ServiceManagerChoice choice = chooseServiceManager();
    std::unique_ptr<ServiceControl> pBackend;
    ServiceAllowList::Fallback eFallback;
    if (choice.eKind == SERVICE_MANAGER_SYSTEMD)
    {
        DIAG_INFO("[%s %?d] service manager: %s", describeServiceManager(choice));
        pBackend = std::make_unique<SystemdServiceControl>(choice.bUserScope);
        eFallback = ServiceAllowList::FALLBACK_DEPENDENT_ONLY;
    }
    else
    {
        DIAG_INFO("[%s %?d] service manager: %s %s", describeServiceManager(choice),
                  ServiceFolder::defaultPath());
        pBackend = std::make_unique<FolderServiceControl>();
        eFallback = ServiceAllowList::FALLBACK_ANY;
    }
    auto pAllowed = std::make_unique<AllowedServiceControl>(
        std::make_unique<RetryingServiceControl>(std::move(pBackend)), configFolder(), eFallback, false);
    DIAG_INFO("[%s %?d] service allow-list: %s", pAllowed->list().describe());
    return pAllowed;
}
