// libFuzzer entry for the reader of the saved registry: any bytes, as a
// damaged, truncated, foreign or hostile state file would hold them. The
// reader must never crash nor throw; what it accepts must hold records
// within the message's bounds, and must come back the same after another
// write and read.
#include "RegistryFormat.h"
#include "WatchdogMsg.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace
{

[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "registry reader: %s\n", what);
    std::abort();
}

bool same(const WatchProcess& a, const WatchProcess& b)
{
    return a.processName == b.processName && a.serviceName == b.serviceName && a.extraInfo == b.extraInfo &&
           a.processId == b.processId && a.timeoutMs == b.timeoutMs && a.restartCount == b.restartCount &&
           a.graceCount == b.graceCount && a.watchState == b.watchState && a.lastFeedMs == b.lastFeedMs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const RegistryFormat::Parsed parsed =
        RegistryFormat::read(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed.ok())
    {
        if (!parsed.records.empty())
            broken("records handed back with an error");
        return 0;
    }
    for (const auto& [name, process] : parsed.records)
    {
        if (name != process.processName)
            broken("a record filed under another name");
        if (name.size() > sizeof(WatchdogMsg::processName) ||
            process.serviceName.size() > sizeof(WatchdogMsg::serviceName) ||
            process.extraInfo.size() > sizeof(WatchdogMsg::extraInfo))
            broken("a text wider than its message field");
        if (name.find('\0') != std::string::npos || process.serviceName.find('\0') != std::string::npos ||
            process.extraInfo.find('\0') != std::string::npos)
            broken("a NUL inside a text");
        if (process.watchState != WatchState::Registered && process.watchState != WatchState::Restarted)
            broken("an unknown state");
        if (process.graceCount < 0 || process.lastFeedMs != 0)
            broken("a counter out of range");
    }
    const RegistryFormat::Parsed again = RegistryFormat::read(RegistryFormat::write(parsed.records));
    if (!again.ok() || again.records.size() != parsed.records.size())
        broken("what was read does not read back after a write");
    for (auto a = parsed.records.begin(), b = again.records.begin(); a != parsed.records.end(); ++a, ++b)
        if (!same(a->second, b->second))
            broken("a record changed through a write and a read");
    return 0;
}
