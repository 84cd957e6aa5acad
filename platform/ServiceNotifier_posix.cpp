#include "ServiceNotifier.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include <systemd/sd-daemon.h>

namespace
{
// Progress is checked this often at most, so a step that ends just after a
// check is seen soon; systemd's interval is WatchdogSec.
constexpr uint64_t MAX_CHECK_USEC = 1000000;
} // namespace

ServiceNotifier::ServiceNotifier(std::function<uint64_t()> progress) : m_fnProgress(std::move(progress)) {}

ServiceNotifier::~ServiceNotifier()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cvStop.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_bReady)
        sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::notifyReady()
{
    // Not started by a manager that listens: nothing to tell, no thread.
    if (m_bReady || std::getenv("NOTIFY_SOCKET") == nullptr)
        return;
    m_bReady = sd_notify(0, "READY=1") > 0;
    uint64_t watchdogUsec = 0;
    if (!m_bReady || sd_watchdog_enabled(0, &watchdogUsec) <= 0 || watchdogUsec == 0)
        return;
    // A quarter of the manager's interval, at most a second: a keep-alive is
    // sent within that time of a step ending, so only a worker that has
    // finished no step for most of WatchdogSec misses the manager's
    // deadline. The loop's steps are bounded (polls of 100 ms, a message of
    // 250 ms), far below any sensible WatchdogSec.
    const uint64_t periodUsec = std::max<uint64_t>(1000, std::min(watchdogUsec / 4, MAX_CHECK_USEC));
    try
    {
        m_thread = std::thread(&ServiceNotifier::sendKeepAlives, this, periodUsec);
    }
    catch (const std::system_error&)
    {
        // Without the thread the manager sees no keep-alive and restarts the
        // service: the failure is not hidden.
    }
}

void ServiceNotifier::sendKeepAlives(uint64_t periodUsec)
{
    uint64_t lastProgress = m_fnProgress();
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_cvStop.wait_for(lock, std::chrono::microseconds(periodUsec), [this] { return m_bStop; }))
    {
        const uint64_t progress = m_fnProgress();
        if (progress == lastProgress)
            continue;
        lastProgress = progress;
        sd_notify(0, "WATCHDOG=1");
    }
}
