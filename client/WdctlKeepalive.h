#pragma once

#include "SignalWaiter.h"
#include "WatchdogClient.h"
#include "WdctlCommand.h"

#include <ostream>

// wdctl keepalive: registers, then feeds at a fixed rate until SIGTERM/SIGINT.
// SIGUSR1 or --stop-after stops the feeds but keeps the connection, which is
// how a hung process looks to the watchdog. A lost connection (a restarted
// watchdog) is made again and the registration sent again (WatchdogSession).
class WdctlKeepalive
{
public:
    // Borrows all three for the lifetime of the object; `client` must be connected.
    WdctlKeepalive(WatchdogClient& client, SignalWaiter& signals, std::ostream& err);

    // Returns after a stop signal (connection closed cleanly). Throws
    // Poco::InvalidArgumentException for an overlong text; never for a lost
    // connection.
    void run(const WdctlCommand& command);

private:
    void stopFeeding();

    WatchdogClient& m_client;
    SignalWaiter& m_signals;
    std::ostream& m_err;
    bool m_bFeeding = true;
};
