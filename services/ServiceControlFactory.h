#pragma once

#include "ServiceControl.h"

// The machine's own service manager: on Linux the one chooseServiceManager()
// picks, the service folder (FolderServiceControl) or systemd
// (SystemdServiceControl), named in an information record; on Windows the
// service control manager (WinServiceControl). Each call makes a new object,
// owned by the caller. On Linux throws Poco::InvalidArgumentException when
// the environment names an unknown manager (the entry point checks that
// first); otherwise never throws but for lack of memory.
std::unique_ptr<ServiceControl> makeSystemServiceControl();
