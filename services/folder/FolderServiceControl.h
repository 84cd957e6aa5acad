#pragma once

#include "ServiceControl.h"

#include <string>

// ServiceControl over the Linux service folder (see ServiceFolder.h). Each
// open() checks the folder afresh, so a folder created or repaired while the
// watchdog runs is picked up, and one that is away for a moment (replaced by
// a deployment, a remount) is waited for. Stateless after construction; any
// thread.
class FolderServiceControl : public ServiceControl
{
public:
    // Uses ServiceFolder::defaultPath(), read at every open().
    FolderServiceControl() = default;

    // Uses the folder `strFolder` (tests).
    explicit FolderServiceControl(std::string strFolder);

    // Opens the folder, trying again for about a second (a few attempts,
    // sleeping between them) while it is missing or unreadable. Then throws
    // the last Poco::FileException, which names the folder.
    std::unique_ptr<ServiceHandle> open(const std::string& name) override;

private:
    std::string m_strFolder; // empty: the default folder
};
