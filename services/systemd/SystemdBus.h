#pragma once

#include <chrono>
#include <string>

struct sd_bus;

// One sd-bus connection to systemd's manager, opened on first use and opened
// again after reset(). The manager's private socket is tried first
// (/run/systemd/private, or $XDG_RUNTIME_DIR/systemd/private for the user's
// manager): it needs no bus daemon and carries every signal of the manager.
// When that cannot be reached, the system or user bus is used instead.
// Every method call on the connection is bounded by the timeout given here.
// Not thread-safe: one thread at a time, or a lock around it. Linux only.
class SystemdBus
{
public:
    SystemdBus(bool bUserScope, std::chrono::milliseconds callTimeout);
    ~SystemdBus();

    SystemdBus(const SystemdBus&) = delete;
    SystemdBus& operator=(const SystemdBus&) = delete;

    // The open connection, connecting first when there is none; connecting
    // (including the handshake) is bounded by the call timeout. Throws
    // Poco::IOException naming where it tried when no manager answers,
    // Poco::InvalidArgumentException when the user's manager cannot be
    // looked for (see systemdRuntimeFolder).
    sd_bus* connection();

    // Closes the connection (after a failed call), so the next connection()
    // opens a fresh one. Never throws.
    void reset();

    // Where the connection goes, for messages: the socket path or bus name.
    const std::string& address() const { return m_strAddress; }

private:
    sd_bus* openPrivate();
    sd_bus* openBus();
    void waitUntilReady();

    bool m_bUserScope;
    std::chrono::milliseconds m_callTimeout;
    sd_bus* m_pBus = nullptr;
    std::string m_strAddress;
};

// The runtime folder of the chosen manager: /run for the system's, and
// $XDG_RUNTIME_DIR for the user's (its private socket, net's queues). Throws
// Poco::InvalidArgumentException when the user's is asked for and
// XDG_RUNTIME_DIR is not set.
std::string systemdRuntimeFolder(bool bUserScope);
