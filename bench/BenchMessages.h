#pragma once

#include "WatchdogMsg.h"

#include <string>

// Wire messages as a client would send them.
namespace BenchMessages
{
inline WatchdogMsgHeader header(uint16_t type)
{
    WatchdogMsgHeader h{};
    WatchdogWire::setMsgType(h, type);
    return h;
}

inline WatchdogMsg body(const std::string& processName, const std::string& serviceName, uint32_t timeoutMs)
{
    WatchdogMsg m{};
    WatchdogWire::setText(m.processName, processName);
    WatchdogWire::setText(m.serviceName, serviceName);
    WatchdogWire::setText(m.extraInfo, "bench");
    WatchdogWire::setProcessId(m, 4242);
    WatchdogWire::setTimeoutMs(m, timeoutMs);
    return m;
}

// "Proc00042.exe" / "Svc00042": distinct names of equal length.
inline std::string processName(int i)
{
    std::string digits = std::to_string(i);
    return "Proc" + std::string(5 - std::min<std::size_t>(5, digits.size()), '0') + digits + ".exe";
}
inline std::string serviceName(int i)
{
    std::string digits = std::to_string(i);
    return "Svc" + std::string(5 - std::min<std::size_t>(5, digits.size()), '0') + digits;
}
} // namespace BenchMessages
