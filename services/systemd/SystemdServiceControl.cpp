#include "SystemdServiceControl.h"

#include "UnitName.h"

#include <Poco/Exception.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <systemd/sd-bus.h>

namespace
{
// The manager sends every unit change to every direct connection; what came
// in beside a reply is dropped after each call, at most this much at a time.
const int DRAIN_MAX = 1024;

// The child reaper's SIGCHLD would interrupt sd-bus's poll, and sd-bus fails
// the call with EINTR rather than resuming it. Held back for the call, the
// signal is delivered as soon as it is unblocked.
class ChildSignalHold
{
public:
    ChildSignalHold()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGCHLD);
        ::pthread_sigmask(SIG_BLOCK, &set, &m_old);
    }
    ~ChildSignalHold() { ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }

    ChildSignalHold(const ChildSignalHold&) = delete;
    ChildSignalHold& operator=(const ChildSignalHold&) = delete;

private:
    sigset_t m_old;
};

class SystemdServiceHandle : public ServiceHandle
{
public:
    SystemdServiceHandle(SystemdServiceControl& owner, std::string strUnit)
        : m_owner(owner), m_strUnit(std::move(strUnit)), m_bValid(isValidServiceUnitName(m_strUnit))
    {
    }

    bool isRegistered() const override
    {
        if (!m_bValid)
            return false;
        return m_owner.unitProperty(m_strUnit, "LoadState") == "loaded";
    }

    bool isRunning() const override
    {
        if (!m_bValid)
            return false;
        return isRunningActiveState(m_owner.unitProperty(m_strUnit, "ActiveState"));
    }

private:
    SystemdServiceControl& m_owner;
    std::string m_strUnit;
    bool m_bValid;
};
} // namespace

SystemdServiceControl::SystemdServiceControl(bool bUserScope) : m_bus(bUserScope, CALL_TIMEOUT) {}

std::unique_ptr<ServiceHandle> SystemdServiceControl::open(const std::string& name)
{
    return std::make_unique<SystemdServiceHandle>(*this, serviceUnitName(name));
}

std::string SystemdServiceControl::unitProperty(const std::string& unitName, const char* szProperty)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const ChildSignalHold hold;

    sd_bus* pBus = nullptr;
    try
    {
        pBus = m_bus.connection();
    }
    catch (const Poco::Exception& ex)
    {
        fail(ex.displayText());
    }
    // Reading a unit's properties by its object path loads the unit, so a
    // unit file that was never referenced still reads "loaded", and a missing
    // one "not-found".
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* szValue = nullptr;
    const int r =
        sd_bus_get_property_string(pBus, "org.freedesktop.systemd1", systemdUnitPath(unitName).c_str(),
                                   "org.freedesktop.systemd1.Unit", szProperty, &error, &szValue);
    if (r < 0)
    {
        const std::string text = std::string(szProperty) + " of " + unitName + ": " +
                                 (error.message != nullptr ? error.message : std::strerror(-r));
        sd_bus_error_free(&error);
        fail(text);
    }
    std::string value(szValue);
    std::free(szValue);
    for (int i = 0; i < DRAIN_MAX && sd_bus_process(pBus, nullptr) > 0; ++i)
    {
    }
    return value;
}

void SystemdServiceControl::fail(const std::string& text)
{
    // Whatever failed, the next attempt starts on a fresh connection: one the
    // manager closed (it re-executed or restarted) would fail every call.
    m_bus.reset();
    throw Poco::IOException("The service manager does not answer", text);
}
