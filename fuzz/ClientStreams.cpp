#include "ClientStreams.h"

#include <algorithm>
#include <cstring>

ClientStreams::ClientStreams(std::size_t clientCount)
    : m_vecPending(std::clamp<std::size_t>(clientCount, 1, MAX_CLIENTS))
{
}

void ClientStreams::deliver(std::size_t client, const uint8_t* data, std::size_t length)
{
    m_vecPending[client % m_vecPending.size()].append(reinterpret_cast<const char*>(data), length);
}

std::optional<FramedMessage> ClientStreams::take(std::size_t client)
{
    std::string& pending = m_vecPending[client % m_vecPending.size()];
    if (pending.size() < static_cast<std::size_t>(WATCHDOG_MESSAGE_SIZE))
        return std::nullopt;
    // Zero-filled first, as the loop clears its buffers before each receive.
    FramedMessage message{std::make_unique<WatchdogMsgHeader>(), std::make_unique<WatchdogMsg>()};
    std::memcpy(message.header.get(), pending.data(), WATCHDOG_HEADER_SIZE);
    std::memcpy(message.body.get(), pending.data() + WATCHDOG_HEADER_SIZE, WATCHDOG_BODY_SIZE);
    pending.erase(0, WATCHDOG_MESSAGE_SIZE);
    return message;
}

bool ClientStreams::anyWhole() const
{
    return std::any_of(m_vecPending.begin(), m_vecPending.end(),
                       [](const std::string& pending)
                       { return pending.size() >= static_cast<std::size_t>(WATCHDOG_MESSAGE_SIZE); });
}
