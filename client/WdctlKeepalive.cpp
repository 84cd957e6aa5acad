#include "WdctlKeepalive.h"

#include "WatchdogSession.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

namespace
{
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// While idle the loop still wakes this often to notice a lost watchdog.
constexpr milliseconds IDLE_CHECK_PERIOD(1000);
} // namespace

WdctlKeepalive::WdctlKeepalive(WatchdogClient& client, SignalWaiter& signals, std::ostream& err)
    : m_client(client), m_signals(signals), m_err(err)
{
}

void WdctlKeepalive::stopFeeding()
{
    if (!m_bFeeding)
        return;
    m_bFeeding = false;
    m_err << "wdctl: feeding stopped" << std::endl;
}

void WdctlKeepalive::run(const WdctlCommand& command)
{
    // One write per line, so a line cannot be split by another writer of the
    // stream.
    WatchdogSession session(m_client, [this](const std::string& line)
                            { m_err << "wdctl: " + line + "\n"
                                    << std::flush; });
    session.registerProcess(command.strName, command.strService, command.nPid, command.nTimeoutMs,
                            command.strExtra);
    m_err << "wdctl: registered " + command.strName + ", feeding every " +
                 std::to_string(command.nIntervalMs) + " ms\n"
          << std::flush;
    const milliseconds interval(command.nIntervalMs);
    const Clock::time_point start = Clock::now();
    Clock::time_point nextFeed = start + interval;
    std::optional<Clock::time_point> optStopAt;
    if (command.optStopAfterSec)
        optStopAt = start + std::chrono::seconds(*command.optStopAfterSec);

    for (;;)
    {
        // A watchdog that went away is connected to again and told the
        // registration again; meanwhile the beat goes on unsent.
        const bool bConnected = session.maintain();
        Clock::time_point now = Clock::now();
        if (optStopAt && now >= *optStopAt)
            stopFeeding();
        if (m_bFeeding && now >= nextFeed)
        {
            session.feed(command.strName);
            // Fixed rate; after a stall (suspended machine) restart the beat
            // instead of sending a burst of feeds to catch up.
            nextFeed += interval;
            if (nextFeed <= now)
                nextFeed = now + interval;
        }
        Clock::time_point wakeAt = now + IDLE_CHECK_PERIOD;
        if (m_bFeeding)
        {
            wakeAt = std::min(wakeAt, nextFeed);
            if (optStopAt)
                wakeAt = std::min(wakeAt, *optStopAt);
        }
        if (!bConnected)
            wakeAt = std::min(wakeAt, session.nextAttempt());
        const auto wait = std::chrono::duration_cast<milliseconds>(wakeAt - now) + milliseconds(1);
        switch (m_signals.wait(std::max(wait, milliseconds(1))))
        {
        case SIGNAL_EVENT_STOP:
            session.finish();
            return;
        case SIGNAL_EVENT_PAUSE:
            stopFeeding();
            break;
        case SIGNAL_EVENT_TIMEOUT:
            break;
        }
    }
}
