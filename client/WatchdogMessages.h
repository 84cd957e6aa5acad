#pragma once

#include "WatchdogMsg.h"

#include <array>
#include <cstdint>
#include <string>

// Builds complete wire messages (header + body, 668 bytes) from the shared
// definitions in WatchdogMsg.h. Unused fields and reserved bytes are zero.
// Every builder throws Poco::InvalidArgumentException naming the field when a
// text is longer than that field; a text of exactly the width is stored with
// no terminating NUL, which the watchdog reads back whole.
namespace WatchdogMessages
{

using Bytes = std::array<unsigned char, WATCHDOG_MESSAGE_SIZE>;

Bytes makeRegister(const std::string& strName, const std::string& strService, uint32_t nPid,
                   uint32_t nTimeoutMs, const std::string& strExtra = std::string());
Bytes makeFeed(const std::string& strName);
Bytes makeCancel(const std::string& strName);

// Any 16-bit type with only the process name set; lets tests probe how the
// watchdog treats unknown or malformed messages.
Bytes makeRaw(uint16_t nType, const std::string& strName);

} // namespace WatchdogMessages
