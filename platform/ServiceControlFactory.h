#pragma once

#include "ServiceControl.h"

// The machine's own service manager: the service folder on Linux
// (LinuxServiceControl), the service control manager on Windows
// (WinServiceControl). Each call makes a new object, owned by the caller.
// Never throws but for lack of memory.
std::unique_ptr<ServiceControl> makeSystemServiceControl();
