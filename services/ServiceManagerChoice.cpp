#include "ServiceManagerChoice.h"

#include <Poco/Exception.h>

#include <cstdlib>
#include <string>
#include <systemd/sd-daemon.h>

namespace
{
// The variable's value, empty when unset.
std::string variable(const char* szName)
{
    const char* szValue = std::getenv(szName);
    return szValue == nullptr ? std::string() : std::string(szValue);
}

[[noreturn]] void unknownValue(const char* szName, const std::string& value, const char* szExpected)
{
    throw Poco::InvalidArgumentException(std::string(szName) + "=\"" + value + "\" is not known; use " +
                                         szExpected);
}
} // namespace

ServiceManagerChoice chooseServiceManager()
{
    ServiceManagerChoice choice;

    const std::string scope = variable("ZELVIN_SYSTEMD_SCOPE");
    if (scope == "user")
        choice.bUserScope = true;
    else if (!scope.empty() && scope != "system")
        unknownValue("ZELVIN_SYSTEMD_SCOPE", scope, "system or user");

    const std::string manager = variable("ZELVIN_SERVICE_MANAGER");
    if (manager == "systemd")
        choice.eKind = SERVICE_MANAGER_SYSTEMD;
    else if (manager == "folder")
        choice.eKind = SERVICE_MANAGER_FOLDER;
    else if (!manager.empty())
        unknownValue("ZELVIN_SERVICE_MANAGER", manager, "systemd or folder");
    else
        // A service folder named explicitly is a deliberate choice; otherwise
        // a machine run by systemd is driven through it.
        choice.eKind = variable("ZELVIN_SERVICE_DIR").empty() && sd_booted() > 0 ? SERVICE_MANAGER_SYSTEMD
                                                                                 : SERVICE_MANAGER_FOLDER;
    return choice;
}

const char* describeServiceManager(const ServiceManagerChoice& choice)
{
    if (choice.eKind == SERVICE_MANAGER_FOLDER)
        return "folder";
    return choice.bUserScope ? "systemd (user manager)" : "systemd (system manager)";
}
