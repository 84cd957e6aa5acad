#include "NetSettings.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace
{
int readMs(const char* szName, int iDefault, int iMax)
{
    const char* szValue = std::getenv(szName);
    if (szValue == nullptr)
        return iDefault;
    const char* pEnd = szValue + std::strlen(szValue);
    int iValue = 0;
    auto res = std::from_chars(szValue, pEnd, iValue);
    // A number too large for an int is a long wait asked for: the ceiling.
    if (res.ec == std::errc::result_out_of_range && res.ptr == pEnd && *szValue != '-')
        return iMax;
    if (res.ec != std::errc() || res.ptr != pEnd || iValue < 0)
        return iDefault;
    return iValue < iMax ? iValue : iMax;
}
} // namespace

NetSettings NetSettings::fromEnvironment()
{
    NetSettings settings;
    settings.iStartSettleMs = readMs("ZELVIN_START_SETTLE_MS", settings.iStartSettleMs, 60000);
    settings.iStopTimeoutMs = readMs("ZELVIN_STOP_TIMEOUT_MS", settings.iStopTimeoutMs, 600000);
    settings.iLockTimeoutMs = readMs("ZELVIN_LOCK_TIMEOUT_MS", settings.iLockTimeoutMs, 30000);
    settings.iStartTimeoutMs = readMs("ZELVIN_START_TIMEOUT_MS", settings.iStartTimeoutMs, 600000);
    return settings;
}
