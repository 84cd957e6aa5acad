#include "SystemdBus.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <systemd/sd-bus.h>

SystemdBus::SystemdBus(bool bUserScope, std::chrono::milliseconds callTimeout)
    : m_bUserScope(bUserScope), m_callTimeout(callTimeout)
{
}

SystemdBus::~SystemdBus()
{
    reset();
}

void SystemdBus::reset()
{
    // No flush: every call is synchronous, so nothing is left to send, and
    // flushing towards a manager that stopped reading would never end.
    if (m_pBus != nullptr)
        m_pBus = sd_bus_close_unref(m_pBus);
}

sd_bus* SystemdBus::connection()
{
    if (m_pBus != nullptr)
    {
        // A connection the manager closed (it exited or restarted) stays
        // unusable: open a new one instead of failing every call on it.
        if (sd_bus_is_open(m_pBus) > 0)
            return m_pBus;
        reset();
    }
    sd_bus* pBus = openPrivate();
    if (pBus == nullptr)
        pBus = openBus();
    sd_bus_set_method_call_timeout(pBus, static_cast<uint64_t>(m_callTimeout.count()) * 1000u);
    m_pBus = pBus;
    waitUntilReady();
    return m_pBus;
}

void SystemdBus::waitUntilReady()
{
    // sd-bus finishes the handshake (authentication, and Hello on a bus)
    // inside the first call, bounded only by its own long authentication
    // timeout: a manager that accepts the connection and then hangs would
    // hold the caller. Finish it here, within the call timeout.
    const auto deadline = std::chrono::steady_clock::now() + m_callTimeout;
    for (;;)
    {
        int r = sd_bus_is_ready(m_pBus);
        if (r > 0)
            return;
        if (r == 0)
            r = sd_bus_process(m_pBus, nullptr);
        if (r == 0)
        {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            r = left.count() > 0 ? sd_bus_wait(m_pBus, static_cast<uint64_t>(left.count())) : -ETIMEDOUT;
        }
        if (r < 0)
        {
            const std::string strWhere = m_strAddress;
            reset();
            throw Poco::IOException("The service manager at " + strWhere + " does not answer",
                                    std::strerror(-r));
        }
    }
}

sd_bus* SystemdBus::openPrivate()
{
    const std::string strSocket = systemdRuntimeFolder(m_bUserScope) + "/systemd/private";
    m_strAddress = strSocket;

    sd_bus* pBus = nullptr;
    if (sd_bus_new(&pBus) < 0)
        throw Poco::OutOfMemoryException("sd_bus_new");
    const std::string strAddress = "unix:path=" + strSocket;
    if (sd_bus_set_address(pBus, strAddress.c_str()) < 0 || sd_bus_start(pBus) < 0)
    {
        sd_bus_unref(pBus);
        return nullptr;
    }
    return pBus;
}

sd_bus* SystemdBus::openBus()
{
    sd_bus* pBus = nullptr;
    const int r = m_bUserScope ? sd_bus_open_user(&pBus) : sd_bus_open_system(&pBus);
    if (r < 0)
        throw Poco::IOException("Cannot reach the " + std::string(m_bUserScope ? "user's" : "system's") +
                                    " service manager at " + m_strAddress + " or on the " +
                                    (m_bUserScope ? "user" : "system") + " bus",
                                std::strerror(-r));
    m_strAddress = m_bUserScope ? "the user bus" : "the system bus";
    return pBus;
}

std::string systemdRuntimeFolder(bool bUserScope)
{
    if (!bUserScope)
        return "/run";
    const char* szRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (szRuntime == nullptr || *szRuntime == '\0')
        throw Poco::InvalidArgumentException(
            "XDG_RUNTIME_DIR is not set; the user's service manager cannot be found");
    return szRuntime;
}
