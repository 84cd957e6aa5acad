#pragma once

#include <Poco/ByteOrder.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// The wire format of a watchdog message: a 20-byte header followed at once by
// a 648-byte body, 668 bytes in all, with no length field. Integers are
// little-endian on the wire; the accessors below convert, so the structs can
// be filled straight from the socket on any host.

// Message types; any other value is rejected by the receiver.
enum class WatchdogMsgType : uint16_t
{
    Register = 1,
    Cancel = 2,
    Feed = 3,
};

struct WatchdogMsgHeader
{
    unsigned char reserved0[16]; // not interpreted
    uint16_t msgType;            // WatchdogMsgType, little-endian
    unsigned char reserved1[2];  // not interpreted
};

struct WatchdogMsg
{
    char processName[64];
    char serviceName[64];
    char extraInfo[512];
    uint32_t processId; // little-endian
    uint32_t timeoutMs; // little-endian; 0xFFFFFFFF never expires
};

constexpr int WATCHDOG_HEADER_SIZE = 20;
constexpr int WATCHDOG_BODY_SIZE = 648;
constexpr int WATCHDOG_MESSAGE_SIZE = WATCHDOG_HEADER_SIZE + WATCHDOG_BODY_SIZE;
constexpr uint32_t WATCHDOG_TIMEOUT_NEVER = 0xFFFFFFFFu;

static_assert(sizeof(WatchdogMsgHeader) == WATCHDOG_HEADER_SIZE);
static_assert(offsetof(WatchdogMsgHeader, reserved0) == 0);
static_assert(offsetof(WatchdogMsgHeader, msgType) == 16);
static_assert(offsetof(WatchdogMsgHeader, reserved1) == 18);
static_assert(sizeof(WatchdogMsg) == WATCHDOG_BODY_SIZE);
static_assert(offsetof(WatchdogMsg, processName) == 0);
static_assert(offsetof(WatchdogMsg, serviceName) == 64);
static_assert(offsetof(WatchdogMsg, extraInfo) == 128);
static_assert(offsetof(WatchdogMsg, processId) == 640);
static_assert(offsetof(WatchdogMsg, timeoutMs) == 644);
static_assert(WATCHDOG_MESSAGE_SIZE == 668);

namespace WatchdogWire
{

inline uint16_t msgType(const WatchdogMsgHeader& header)
{
    return Poco::ByteOrder::fromLittleEndian(header.msgType);
}

inline void setMsgType(WatchdogMsgHeader& header, uint16_t type)
{
    header.msgType = Poco::ByteOrder::toLittleEndian(type);
}

inline void setMsgType(WatchdogMsgHeader& header, WatchdogMsgType type)
{
    setMsgType(header, static_cast<uint16_t>(type));
}

inline uint32_t processId(const WatchdogMsg& msg) { return Poco::ByteOrder::fromLittleEndian(msg.processId); }
inline uint32_t timeoutMs(const WatchdogMsg& msg) { return Poco::ByteOrder::fromLittleEndian(msg.timeoutMs); }
inline void setProcessId(WatchdogMsg& msg, uint32_t v) { msg.processId = Poco::ByteOrder::toLittleEndian(v); }
inline void setTimeoutMs(WatchdogMsg& msg, uint32_t v) { msg.timeoutMs = Poco::ByteOrder::toLittleEndian(v); }

// A text field ends at its first NUL. A field whose whole width holds no NUL
// is taken as all of its bytes; nothing past the field is ever read.
template <std::size_t N> std::string text(const char (&field)[N])
{
    const void* nul = std::memchr(field, '\0', N);
    const std::size_t length = nul ? static_cast<const char*>(nul) - field : N;
    return std::string(field, length);
}

// Writes `value` into a field, NUL-padded. A value of exactly the field's
// width fills it with no NUL. Returns false (field left untouched) when the
// value is longer than the field.
template <std::size_t N> bool setText(char (&field)[N], const std::string& value)
{
    if (value.size() > N)
        return false;
    std::memset(field, 0, N);
    std::memcpy(field, value.data(), value.size());
    return true;
}

} // namespace WatchdogWire
