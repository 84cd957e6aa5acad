#pragma once

#include "ServiceControl.h"

// The machine's own service manager, as the watchdog drives it: on Linux the
// one chooseServiceManager() picks, the service folder (FolderServiceControl)
// or systemd (SystemdServiceControl); on Windows the service control manager
// (WinServiceControl). Behind the bounded retry (RetryingServiceControl) and
// the allow-list of services.d beside Watchdog.xml (AllowedServiceControl):
// without a list, the service folder is the operator's list, while systemd
// and Windows allow only the dependent services; Windows matches names
// without regard to case. Writes one record each, on the diagnostics logger,
// of the manager in use and of where the list comes from. Each call makes a
// new object, owned by the caller.
//
// Throws Poco::InvalidArgumentException when the environment names an unknown
// manager (Linux), and what ServiceAllowList::read throws when the list
// cannot be read or could have been written by another account.
std::unique_ptr<ServiceControl> makeSystemServiceControl();
