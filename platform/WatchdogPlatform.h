#pragma once

#include "InstallGuard.h"
#include "ProcessLauncher.h"
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
};

// The real machine: the utility library's clock and integrity check, the
// platform's service manager and process launcher. Process-wide objects,
// created on first use and never destroyed before the module.
WatchdogPlatform realPlatform();
