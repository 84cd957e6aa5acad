#pragma once

#include "WatchdogMsg.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One message as the connection loop hands it to the dispatcher. Header and
// body are separate heap blocks of exactly 20 and 648 bytes, so AddressSanitizer
// catches any read past the end of either.
struct FramedMessage
{
    std::unique_ptr<WatchdogMsgHeader> header;
    std::unique_ptr<WatchdogMsg> body;
};

// The byte streams of a few simulated clients, fed in arbitrary chunks and
// cut the way the connection loop reads a socket: 20 header bytes, then 648
// body bytes, back to back, with no resynchronisation. Single-threaded.
class ClientStreams
{
public:
    static constexpr std::size_t MAX_CLIENTS = 4;

    // `clientCount` is clamped to 1..MAX_CLIENTS.
    explicit ClientStreams(std::size_t clientCount);

    std::size_t clientCount() const { return m_vecPending.size(); }

    // Appends `length` bytes to the stream of client `client % clientCount()`.
    void deliver(std::size_t client, const uint8_t* data, std::size_t length);

    // The next whole message of `client`, or nullopt while fewer than 668
    // bytes are pending for it (a partial message stays pending).
    std::optional<FramedMessage> take(std::size_t client);

    // Whether any client has a whole message pending.
    bool anyWhole() const;

private:
    std::vector<std::string> m_vecPending;
};
