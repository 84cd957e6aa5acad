#pragma once

// Which service manager the watchdog and `net` drive on Linux. One rule for
// both, so the service the watchdog asks about is the one `net` starts.
enum ServiceManagerKind
{
    SERVICE_MANAGER_FOLDER,  // the service folder stand-in (ServiceFolder.h)
    SERVICE_MANAGER_SYSTEMD, // systemd units NAME.service, over sd-bus
};

struct ServiceManagerChoice
{
    ServiceManagerKind eKind = SERVICE_MANAGER_FOLDER;
    bool bUserScope = false; // systemd: the calling user's manager, not the system's
};

// Reads the environment:
// - ZELVIN_SERVICE_MANAGER "systemd" or "folder" chooses explicitly; unset or
//   empty: systemd when the machine was booted with systemd (sd_booted) and
//   ZELVIN_SERVICE_DIR is not set, otherwise the folder.
// - ZELVIN_SYSTEMD_SCOPE "system" (the default when unset or empty) or "user"
//   (the manager found through $XDG_RUNTIME_DIR).
// Throws Poco::InvalidArgumentException naming the variable and its value
// when either holds anything else. Linux only.
ServiceManagerChoice chooseServiceManager();

// "folder", "systemd (system manager)" or "systemd (user manager)".
const char* describeServiceManager(const ServiceManagerChoice& choice);
