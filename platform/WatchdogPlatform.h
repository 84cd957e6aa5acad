#pragma once

#include "InstallGuard.h"
#include "ProcessLauncher.h"
#include "SecondsClock.h"
#include "ServiceControl.h"
#include "StatusWriter.h"

// Everything the watchdog module takes from the machine. The referenced
// objects must outlive the module.
struct WatchdogPlatform
{
    SecondsClock& clock;
    ServiceControl& services;
    ProcessLauncher& processes;
    InstallGuard& install;
    // Where the worker publishes its status snapshot; none: it is not built.
    StatusWriter* status = nullptr;
    // The service manager behind `services`, as the snapshot names it:
    // "folder", "systemd" or "windows".
    const char* serviceManager = "";
};

// The real machine: the utility library's clock and integrity check, the
// platform's service manager and process launcher, the status files.
// Process-wide objects, created on first use and never destroyed before the
// module.
WatchdogPlatform realPlatform();
