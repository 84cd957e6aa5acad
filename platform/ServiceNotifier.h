#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// Tells the service manager that the watchdog serves, and keeps the
// manager's own watchdog fed only while the worker makes progress, so that a
// worker that has ended or hangs gets the whole process restarted. On Linux
// this is systemd's notification protocol (a unit of Type=notify, with
// WatchdogSec=); it does nothing at all when NOTIFY_SOCKET is not set, and
// nothing on Windows. Not copyable; one per process.
class ServiceNotifier
{
public:
    // `passCount` returns the worker's passes so far; it is called from the
    // notifier's own thread and must be safe from any thread.
    explicit ServiceNotifier(std::function<uint64_t()> passCount);
    // Stops and joins the feeding thread and tells the manager the service is
    // stopping (when it was told it is ready).
    ~ServiceNotifier();

    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // Sends READY=1 and, when the manager asks for keep-alives, starts the
    // thread that sends WATCHDOG=1 while the pass count advances. Call once,
    // when the worker runs. Never throws.
    void notifyReady();

private:
    void sendKeepAlives(uint64_t periodUsec);

    std::function<uint64_t()> m_fnPassCount;
    std::mutex m_mutex;
    std::condition_variable m_cvStop;
    bool m_bStop = false;
    bool m_bReady = false;
    std::thread m_thread;
};
