#include "SignalWaiter.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <atomic>

#include <windows.h>

// Ctrl+C, Ctrl+Break and closing the console window stand for SIGINT and
// SIGTERM: the console control handler sets an event the loop waits on.
// Windows has nothing like SIGUSR1, so SIGNAL_EVENT_PAUSE never comes here;
// `wdctl keepalive --stop-after SECONDS` stops the feeds instead.

namespace
{
// The handler runs on a thread of the system's; it may only reach a global.
std::atomic<HANDLE> g_hStopEvent{nullptr};

BOOL WINAPI onConsoleControl(DWORD type)
{
    switch (type)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
    {
        const HANDLE event = g_hStopEvent.load();
        if (event == nullptr)
            return FALSE;
        ::SetEvent(event);
        return TRUE;
    }
    default:
        return FALSE;
    }
}
} // namespace

struct SignalWaiter::State
{
    HANDLE hEvent = nullptr;
};

SignalWaiter::SignalWaiter() : m_pState(std::make_unique<State>())
{
    // Manual reset: once asked to stop, every later wait says so too.
    m_pState->hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_pState->hEvent == nullptr)
        throw Poco::SystemException("cannot create the stop event");
    g_hStopEvent.store(m_pState->hEvent);
    if (!::SetConsoleCtrlHandler(onConsoleControl, TRUE))
    {
        g_hStopEvent.store(nullptr);
        ::CloseHandle(m_pState->hEvent);
        throw Poco::SystemException("cannot install the console control handler");
    }
}

SignalWaiter::~SignalWaiter()
{
    ::SetConsoleCtrlHandler(onConsoleControl, FALSE);
    g_hStopEvent.store(nullptr);
    ::CloseHandle(m_pState->hEvent);
}

SignalEvent SignalWaiter::wait(std::chrono::milliseconds timeout)
{
    if (timeout.count() < 0)
        timeout = std::chrono::milliseconds(0);
    // INFINITE is 0xFFFFFFFF: keep a finite wait finite.
    const DWORD ms = static_cast<DWORD>(std::min<long long>(timeout.count(), INFINITE - 1));
    return ::WaitForSingleObject(m_pState->hEvent, ms) == WAIT_OBJECT_0 ? SIGNAL_EVENT_STOP
                                                                        : SIGNAL_EVENT_TIMEOUT;
}
