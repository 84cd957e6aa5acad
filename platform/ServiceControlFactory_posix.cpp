#include "ServiceControlFactory.h"

#include "LinuxServiceControl.h"

std::unique_ptr<ServiceControl> makeSystemServiceControl()
{
    return std::make_unique<LinuxServiceControl>();
}
