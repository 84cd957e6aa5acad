#pragma once

#include "InstallGuard.h"
#include "ProcessLauncher.h"
#include "RegistryStore.h"
#include "SecondsClock.h"
#include "ServiceControl.h"

// Everything the watchdog module takes from the machine. The referenced
// objects must outlive the module.
struct WatchdogPlatform
{
    SecondsClock& clock;
    ServiceControl& services;
    ProcessLauncher& processes;
    InstallGuard& install;
    // Where the registry is kept across restarts; none (no state folder):
    // nothing is saved and nothing restored.
    RegistryStore* store = nullptr;
};

// The real machine: the utility library's clock and integrity check, the
// platform's service manager and process launcher, and a registry file in
// the state folder when one is configured. Process-wide objects,
// created on first use and never destroyed before the module.
WatchdogPlatform realPlatform();
