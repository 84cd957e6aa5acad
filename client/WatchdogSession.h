#pragma once

#include "WatchdogClient.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// What a product process keeps with the watchdog across lost connections:
// its registrations. The watchdog never answers, and a restarted watchdog
// may have forgotten them, so when a send or a connection check finds the
// connection gone, the session connects again (maintain), backing off from
// 100 ms and doubling to 3.2 s between attempts, and on every new connection
// registers again, in their order, every process it registered and has not
// cancelled. A feed while the connection is down is dropped: the next one
// after the reconnection is as good. Not thread-safe; borrows the client.
class WatchdogSession
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds FIRST_BACKOFF{100};
    static constexpr std::chrono::milliseconds MAX_BACKOFF{3200};

    // `client` may be connected already (then the first registrations go out
    // on that connection) or not (maintain connects it). `report` is told of
    // every lost connection and every reconnection, in one line each.
    explicit WatchdogSession(WatchdogClient& client,
                             std::function<void(const std::string&)> report = nullptr);

    // Remembers the registration and sends it when connected; an overlong
    // text throws Poco::InvalidArgumentException and nothing is remembered.
    void registerProcess(const std::string& strName, const std::string& strService, uint32_t nPid,
                         uint32_t nTimeoutMs, const std::string& strExtra = std::string());
    // Forgets the registration and sends the cancel when connected.
    void cancel(const std::string& strName);
    // Sends the feed when connected; dropped otherwise.
    void feed(const std::string& strName);

    // Notices a watchdog that closed the connection, and connects again when
    // an attempt is due. Returns whether the session is connected. Never
    // throws for network failures.
    bool maintain();

    bool isConnected() const { return m_client.isConnected(); }
    // When maintain next tries to connect (meaningless while connected).
    Clock::time_point nextAttempt() const { return m_nextAttempt; }

    // Half-closes and closes the connection, so the watchdog reads all that
    // was sent. Never throws.
    void finish() noexcept;

private:
    struct Registration
    {
        std::string strName, strService, strExtra;
        uint32_t nPid, nTimeoutMs;
    };

    // Runs `send` when connected; a failed send drops the connection.
    void whenConnected(const std::function<void()>& send);
    void lose(const std::string& strWhy);
    void say(const std::string& strLine) const;

    WatchdogClient& m_client;
    std::function<void(const std::string&)> m_fnReport;
    std::vector<Registration> m_vecRegistrations;
    Clock::time_point m_nextAttempt{};
    std::chrono::milliseconds m_backoff{FIRST_BACKOFF};
    bool m_bLost = false;
};
