#pragma once

#include <chrono>
#include <memory>

enum SignalEvent
{
    SIGNAL_EVENT_TIMEOUT, // nothing arrived within the wait
    SIGNAL_EVENT_STOP,    // SIGTERM or SIGINT: finish and exit
    SIGNAL_EVENT_PAUSE,   // SIGUSR1: stop feeding, stay alive
};

// Takes delivery of SIGTERM, SIGINT and SIGUSR1 away from their default
// actions for the lifetime of the object, so a loop can wait for them with a
// timeout instead of polling. Construct in the main thread before any other
// thread starts; the previous signal mask is restored on destruction.
class SignalWaiter
{
public:
    SignalWaiter();
    ~SignalWaiter();
    SignalWaiter(const SignalWaiter&) = delete;
    SignalWaiter& operator=(const SignalWaiter&) = delete;

    // Blocks at most `timeout`; an interruption counts as a timeout.
    SignalEvent wait(std::chrono::milliseconds timeout);

private:
    struct State;
    std::unique_ptr<State> m_pState;
};
