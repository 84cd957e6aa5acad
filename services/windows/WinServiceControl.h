#pragma once

#include "ServiceControl.h"

// ServiceControl over the Windows service control manager through
// Poco::Util::WinService. Every open() opens the manager afresh, so a service
// created or deleted while the watchdog runs is seen at once. Windows only.
// Stateless; any thread.
class WinServiceControl : public ServiceControl
{
public:
    // Throws Poco::SystemException when the service control manager cannot be
    // opened (WinService's constructor opens it). The handle's isRegistered()
    // throws it too when the service cannot be opened for another reason than
    // being unknown.
    std::unique_ptr<ServiceHandle> open(const std::string& name) override;
};
