#pragma once

#include "InstallGuard.h"
#include "ProcessLauncher.h"
#include "RegistryStore.h"
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
    // Where the registry is kept across restarts; none (no state folder):
    // nothing is saved and nothing restored.
    RegistryStore* store = nullptr;
};

// The real machine: the utility library's clock and integrity check, the
// platform's service manager and process launcher, the status files, and a
// registry file in the state folder when one is configured. Process-wide
// objects, created on first use and never destroyed before the module.
WatchdogPlatform realPlatform();
