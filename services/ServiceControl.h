#pragma once

#include <memory>
#include <string>

// One service opened through the machine's service manager: on Windows the
// service control manager (windows/WinServiceControl), on Linux systemd's
// unit NAME.service (systemd/SystemdServiceControl) or our own service folder
// (folder/FolderServiceControl). Closed when destroyed.
class ServiceHandle
{
public:
    virtual ~ServiceHandle() = default;

    // Whether the service manager knows a service of this name. Throws
    // Poco::Exception when the query itself fails: a manager that cannot be
    // asked never reads as "registered" nor as "unregistered".
    virtual bool isRegistered() const = 0;

    // Whether the service is in the running state (pending states and paused
    // count as not running). Throws Poco::Exception when the state cannot be
    // read.
    virtual bool isRunning() const = 0;
};

// The watchdog's seam to the service manager. Abstract so the module can be
// tested with a fake; the real implementations are FolderServiceControl,
// SystemdServiceControl and WinServiceControl, made by
// makeSystemServiceControl (ServiceControlFactory.h) behind the allow-list
// (AllowedServiceControl) and the bounded retry (RetryingServiceControl).
class ServiceControl
{
public:
    virtual ~ServiceControl() = default;

    // Opens the service manager for `name`. Throws Poco::Exception when the
    // manager cannot be opened. Any name is accepted; one that no service
    // bears simply reports isRegistered() false.
    virtual std::unique_ptr<ServiceHandle> open(const std::string& name) = 0;

    // A pass of the worker begins (and start-up's check of the dependent
    // services): whatever waits on a failing manager gets its budget for
    // the pass afresh (ServiceRetry). Does nothing by default.
    virtual void beginPass() {}
};
