#include "ServiceControlFactory.h"

#include "FolderServiceControl.h"
#include "LogRecord.h"
#include "RetryingServiceControl.h"
#include "ServiceFolder.h"
#include "ServiceManagerChoice.h"
#include "SystemdServiceControl.h"

std::unique_ptr<ServiceControl> makeSystemServiceControl()
{
    const ServiceManagerChoice choice = chooseServiceManager();
    if (choice.eKind == SERVICE_MANAGER_SYSTEMD)
    {
        DIAG_INFO("[%s %?d] service manager: %s", describeServiceManager(choice));
        return std::make_unique<RetryingServiceControl>(
            std::make_unique<SystemdServiceControl>(choice.bUserScope));
    }
    DIAG_INFO("[%s %?d] service manager: %s %s", describeServiceManager(choice),
              ServiceFolder::defaultPath());
    return std::make_unique<RetryingServiceControl>(std::make_unique<FolderServiceControl>());
}
