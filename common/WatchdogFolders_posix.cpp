#include "WatchdogFolders.h"

#include <Poco/Exception.h>

#include <cstdlib>
#include <unistd.h>

namespace
{
// The variable's first entry (systemd separates several folders with ':'),
// nullopt when unset or empty.
std::optional<std::string> firstEntry(const char* szName)
{
    const char* szValue = std::getenv(szName);
    if (szValue == nullptr || *szValue == '\0')
        return std::nullopt;
    const std::string value(szValue);
    return value.substr(0, value.find(':'));
}
} // namespace

std::string runtimeFolder()
{
    if (auto folder = firstEntry("ZELVIN_RUNTIME_DIR"))
        return *folder;
    if (auto folder = firstEntry("RUNTIME_DIRECTORY"))
        return *folder;
    if (::geteuid() == 0)
        return systemRuntimeFolder();
    const char* szUser = std::getenv("XDG_RUNTIME_DIR");
    if (szUser == nullptr || *szUser == '\0')
        throw Poco::InvalidArgumentException(
            "No runtime folder: set ZELVIN_RUNTIME_DIR, or XDG_RUNTIME_DIR for a user's watchdog");
    return std::string(szUser) + "/zelvin-watchdog";
}

std::string systemRuntimeFolder()
{
    return "/run/zelvin-watchdog";
}

std::optional<std::string> stateFolder()
{
    if (auto folder = firstEntry("ZELVIN_STATE_DIR"))
        return folder;
    return firstEntry("STATE_DIRECTORY");
}
