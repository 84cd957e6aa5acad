#include "SignalWaiter.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

struct SignalWaiter::State
{
    sigset_t setWanted;
    sigset_t setPrevious;
};

SignalWaiter::SignalWaiter() : m_pState(std::make_unique<State>())
{
    sigemptyset(&m_pState->setWanted);
    sigaddset(&m_pState->setWanted, SIGTERM);
    sigaddset(&m_pState->setWanted, SIGINT);
    sigaddset(&m_pState->setWanted, SIGUSR1);
    const int nError = pthread_sigmask(SIG_BLOCK, &m_pState->setWanted, &m_pState->setPrevious);
    if (nError != 0)
        throw Poco::SystemException(std::string("cannot block signals: ") + std::strerror(nError));
}

SignalWaiter::~SignalWaiter()
{
    pthread_sigmask(SIG_SETMASK, &m_pState->setPrevious, nullptr);
}

SignalEvent SignalWaiter::wait(std::chrono::milliseconds timeout)
{
    if (timeout.count() < 0)
        timeout = std::chrono::milliseconds(0);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timespec waitTime{};
    waitTime.tv_sec = static_cast<time_t>(seconds.count());
    waitTime.tv_nsec = static_cast<long>((timeout - seconds).count() * 1000000L);
    const int nSignal = sigtimedwait(&m_pState->setWanted, nullptr, &waitTime);
    if (nSignal == SIGUSR1)
        return SIGNAL_EVENT_PAUSE;
    if (nSignal == SIGTERM || nSignal == SIGINT)
        return SIGNAL_EVENT_STOP;
    return SIGNAL_EVENT_TIMEOUT; // EAGAIN or EINTR
}
