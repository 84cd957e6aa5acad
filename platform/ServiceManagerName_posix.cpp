#include "ServiceManagerName.h"

#include "ServiceManagerChoice.h"

const char* systemServiceManagerName()
{
    return chooseServiceManager().eKind == SERVICE_MANAGER_SYSTEMD ? "systemd" : "folder";
}
