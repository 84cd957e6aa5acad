#pragma once

#include "ServiceControl.h"

#include <string>

// ServiceControl over the Linux service folder (see ServiceFolder.h). Each
// open() checks the folder afresh, so a folder created or repaired while the
// watchdog runs is picked up; one that is away for a moment (replaced by a
// deployment, a remount) is waited for by RetryingServiceControl. Stateless
// after construction; any thread.
class FolderServiceControl : public ServiceControl
{
public:
    // Uses ServiceFolder::defaultPath(), read at every open().
    FolderServiceControl() = default;

    // Uses the folder `strFolder` (tests).
    explicit FolderServiceControl(std::string strFolder);

    // Opens the folder. Throws Poco::FileException naming the folder when it
    // is missing or unreadable.
    std::unique_ptr<ServiceHandle> open(const std::string& name) override;

private:
    std::string m_strFolder; // empty: the default folder
};
