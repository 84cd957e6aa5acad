#include "WatchdogFolders.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>

namespace
{
// Poco::Environment reads the variable as UTF-16 and returns UTF-8.
std::optional<std::string> variable(const char* szName)
{
    const std::string value = Poco::Environment::get(szName, "");
    if (value.empty())
        return std::nullopt;
    return value;
}
} // namespace

std::string runtimeFolder()
{
    if (auto folder = variable("ZELVIN_RUNTIME_DIR"))
        return *folder;
    return systemRuntimeFolder();
}

std::string systemRuntimeFolder()
{
    if (auto data = variable("ProgramData"))
        return *data + "\\Zelvin Watchdog\\run";
    throw Poco::InvalidArgumentException("No runtime folder: set ZELVIN_RUNTIME_DIR");
}

std::optional<std::string> stateFolder()
{
    return variable("ZELVIN_STATE_DIR");
}
