#include "WatchdogMessages.h"

#include <Poco/Exception.h>

#include <cstring>

namespace
{

template <std::size_t N> void setField(char (&field)[N], const std::string& strValue, const char* pszField)
{
    if (!WatchdogWire::setText(field, strValue))
        throw Poco::InvalidArgumentException(std::string(pszField) + " is " +
                                             std::to_string(strValue.size()) + " bytes, at most " +
                                             std::to_string(N) + " fit");
}

WatchdogMessages::Bytes assemble(uint16_t nType, const WatchdogMsg& body)
{
    WatchdogMsgHeader header{};
    WatchdogWire::setMsgType(header, nType);
    WatchdogMessages::Bytes bytes{};
    std::memcpy(bytes.data(), &header, WATCHDOG_HEADER_SIZE);
    std::memcpy(bytes.data() + WATCHDOG_HEADER_SIZE, &body, WATCHDOG_BODY_SIZE);
    return bytes;
}

WatchdogMessages::Bytes nameOnly(uint16_t nType, const std::string& strName)
{
    WatchdogMsg body{};
    setField(body.processName, strName, "processName");
    return assemble(nType, body);
}

} // namespace

namespace WatchdogMessages
{

Bytes makeRegister(const std::string& strName, const std::string& strService, uint32_t nPid,
                   uint32_t nTimeoutMs, const std::string& strExtra)
{
    WatchdogMsg body{};
    setField(body.processName, strName, "processName");
    setField(body.serviceName, strService, "serviceName");
    setField(body.extraInfo, strExtra, "extraInfo");
    WatchdogWire::setProcessId(body, nPid);
    WatchdogWire::setTimeoutMs(body, nTimeoutMs);
    return assemble(static_cast<uint16_t>(WatchdogMsgType::Register), body);
}

Bytes makeFeed(const std::string& strName)
{
    return nameOnly(static_cast<uint16_t>(WatchdogMsgType::Feed), strName);
}

Bytes makeCancel(const std::string& strName)
{
    return nameOnly(static_cast<uint16_t>(WatchdogMsgType::Cancel), strName);
}

Bytes makeRaw(uint16_t nType, const std::string& strName)
{
    return nameOnly(nType, strName);
}

} // namespace WatchdogMessages
