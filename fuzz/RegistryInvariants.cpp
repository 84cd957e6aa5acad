#include "RegistryInvariants.h"

#include "WatchdogServerModule.h"

#include <cstdio>
#include <cstdlib>

namespace
{

[[noreturn]] void violated(const char* what, const std::string& key)
{
    std::fprintf(stderr, "registry invariant violated: %s (record key \"%s\", %zu bytes)\n", what,
                 key.c_str(), key.size());
    std::abort();
}

} // namespace

void checkRegistryInvariants(const WatchdogServerModule& module)
{
    const std::size_t nameWidth = sizeof(WatchdogMsg::processName);
    const std::size_t serviceWidth = sizeof(WatchdogMsg::serviceName);
    const std::size_t extraWidth = sizeof(WatchdogMsg::extraInfo);

    for (const auto& [key, record] : module.watchProcesses())
    {
        if (key != record.processName)
            violated("key differs from processName", key);
        if (record.processName.size() > nameWidth)
            violated("processName longer than its field", key);
        if (record.serviceName.size() > serviceWidth)
            violated("serviceName longer than its field", key);
        if (record.extraInfo.size() > extraWidth)
            violated("extraInfo longer than its field", key);
        if (record.watchState != WatchState::Registered && record.watchState != WatchState::Restarted)
            violated("watchState out of range", key);
        if (record.timeoutMs == WATCHDOG_TIMEOUT_NEVER && record.watchState != WatchState::Registered)
            violated("never-expiring record is not Registered", key);
        if (record.graceCount < 0 || record.graceCount > 4)
            violated("graceCount outside 0..4", key);
    }

    const auto& services = module.serverStatuses();
    if (services.size() != 3 || !services.count("MySqlqvms80") || !services.count("DUZI") ||
        !services.count("VADA"))
        violated("dependent-service table changed its entries", "");
}
