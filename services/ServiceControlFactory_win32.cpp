#include "ServiceControlFactory.h"

#include "LogRecord.h"
#include "RetryingServiceControl.h"
#include "WinServiceControl.h"

std::unique_ptr<ServiceControl> makeSystemServiceControl()
{
    DIAG_INFO("[%s %?d] service manager: %s", "service control manager");
    return std::make_unique<RetryingServiceControl>(std::make_unique<WinServiceControl>());
}
