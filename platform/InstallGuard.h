#pragma once

#include <string>

// What the module's start-up asks of the installation: the integrity check
// and, when it fails, ending the watchdog's own processes. Abstract so a test
// can fail the check without ending the test runner.
class InstallGuard
{
public:
    virtual ~InstallGuard() = default;

    // 0 when the installed server libraries are intact, non-zero otherwise.
    virtual int checkIntegrity() = 0;

    // Ends every process of the image `imageName`; see System.h.
    virtual bool findAndKillProcessByName(const std::string& imageName) = 0;
};
