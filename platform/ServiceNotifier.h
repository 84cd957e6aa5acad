#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// Tells the service manager that the watchdog serves, and keeps the
// manager's own watchdog fed only while the worker makes progress through
// the steps of its passes, so that a long pass keeps it fed while a worker
// that has ended, or is stuck in one step, gets the whole process restarted. On Linux
// this is systemd's notification protocol (a unit of Type=notify, with
// WatchdogSec=); it does nothing at all when NOTIFY_SOCKET is not set, and
// nothing on Windows. Not copyable; one per process.
class ServiceNotifier
{
public:
    // `progress` returns the worker's progress count (steps of passes so
    // far); it is called from the notifier's own thread and must be safe
    // from any thread.
    explicit ServiceNotifier(std::function<uint64_t()> progress);
    // Stops and joins the feeding thread and tells the manager the service is
    // stopping (when it was told it is ready).
    ~ServiceNotifier();

    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // Sends READY=1 and, when the manager asks for keep-alives, starts the
    // thread that sends WATCHDOG=1 while the progress count advances. Call once,
    // when the worker runs. Never throws.
    void notifyReady();

private:
    void sendKeepAlives(uint64_t periodUsec);

    std::function<uint64_t()> m_fnProgress;
    std::mutex m_mutex;
    std::condition_variable m_cvStop;
    bool m_bStop = false;
    bool m_bReady = false;
    std::thread m_thread;
};
