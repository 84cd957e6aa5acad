#include "ServiceControlFactory.h"

#include "WinServiceControl.h"

std::unique_ptr<ServiceControl> makeSystemServiceControl()
{
    return std::make_unique<WinServiceControl>();
}
