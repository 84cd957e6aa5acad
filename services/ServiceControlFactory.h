#pragma once

#include "ServiceControl.h"

// The machine's own service manager, as the watchdog drives it: on Linux the
// one chooseServiceManager() picks, the service folder (FolderServiceControl)
// or systemd (SystemdServiceControl); on Windows the service control manager
// (WinServiceControl). Behind the bounded retry (RetryingServiceControl).
// Writes one record, on the diagnostics logger, of the manager in use. Each
// call makes a new object, owned by the caller. Throws
// Poco::InvalidArgumentException when the environment names an unknown
// manager (Linux).
std::unique_ptr<ServiceControl> makeSystemServiceControl();
