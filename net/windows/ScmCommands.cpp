#include "ScmCommands.h"

#include <Poco/Error.h>
#include <Poco/Exception.h>
#include <Poco/UnicodeConverter.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <windows.h>

namespace
{
using Clock = std::chrono::steady_clock;

// The manager changes a state within milliseconds for most services: look
// soon, then back off, so a slow one costs little.
const auto FIRST_LOOK = std::chrono::milliseconds(10);
const auto LONGEST_PAUSE = std::chrono::milliseconds(200);

// A service-control handle that closes itself.
class ScHandle
{
public:
    explicit ScHandle(SC_HANDLE h) : m_h(h) {}
    ~ScHandle()
    {
        if (m_h != nullptr)
            ::CloseServiceHandle(m_h);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return m_h; }

private:
    SC_HANDLE m_h;
};

[[noreturn]] void fail(const std::string& what, DWORD dwError)
{
    throw Poco::SystemException(what,
                                Poco::Error::getMessage(dwError) + " (" + std::to_string(dwError) + ")");
}

DWORD currentState(const ScHandle& service, const std::string& name)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD dwNeeded = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                sizeof status, &dwNeeded))
        fail("Cannot query the state of " + name, ::GetLastError());
    return status.dwCurrentState;
}

// Waits until the service leaves `dwPending`; its state then, or 0 when it
// is still pending at the deadline.
DWORD waitWhile(const ScHandle& service, const std::string& name, DWORD dwPending, int iTimeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    Clock::duration pause = FIRST_LOOK;
    for (;;)
    {
        const DWORD dwState = currentState(service, name);
        if (dwState != dwPending)
            return dwState;
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return 0;
        std::this_thread::sleep_for(std::min(pause, deadline - now));
        pause = std::min<Clock::duration>(pause * 2, LONGEST_PAUSE);
    }
}

NetResult notInTime(const std::string& name, const char* szJob, int iTimeoutMs)
{
    return {NetOutcome::NET_SYSTEM_ERROR,
            "The service did not respond to the start or control request in a timely fashion: the " +
                std::string(szJob) + " of " + name + " did not end within " + std::to_string(iTimeoutMs) +
                " ms"};
}

// Opens the service with `dwAccess`; null when the manager knows no such
// service.
std::unique_ptr<ScHandle> openService(const std::string& name, DWORD dwAccess)
{
    ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.get() == nullptr)
        fail("Cannot open the service control manager", ::GetLastError());
    std::wstring wideName;
    Poco::UnicodeConverter::toUTF16(name, wideName);
    auto service = std::make_unique<ScHandle>(::OpenServiceW(manager.get(), wideName.c_str(), dwAccess));
    if (service->get() != nullptr)
        return service;
    const DWORD dwError = ::GetLastError();
    if (dwError == ERROR_SERVICE_DOES_NOT_EXIST || dwError == ERROR_INVALID_NAME)
        return nullptr;
    fail("Cannot open the service " + name, dwError);
}
} // namespace

NetResult startScmService(const std::string& name, const NetSettings& settings)
{
    std::unique_ptr<ScHandle> service = openService(name, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service)
        return {NetOutcome::NET_INVALID_NAME, {}};
    if (!::StartServiceW(service->get(), 0, nullptr))
    {
        const DWORD dwError = ::GetLastError();
        switch (dwError)
        {
        case ERROR_SERVICE_ALREADY_RUNNING:
            return {NetOutcome::NET_ALREADY_STARTED, {}};
        case ERROR_SERVICE_MARKED_FOR_DELETE:
            return {NetOutcome::NET_INVALID_NAME, {}};
        case ERROR_ACCESS_DENIED:
        case ERROR_SERVICE_DATABASE_LOCKED:
        case ERROR_SERVICE_REQUEST_TIMEOUT:
            fail("Cannot start " + name, dwError);
        default: // disabled, its program missing or failing, a logon failure
            return {NetOutcome::NET_COULD_NOT_START, {}};
        }
    }
    switch (waitWhile(*service, name, SERVICE_START_PENDING, settings.iStartTimeoutMs))
    {
    case 0:
        return notInTime(name, "start", settings.iStartTimeoutMs);
    case SERVICE_STOPPED:
    case SERVICE_STOP_PENDING:
        return {NetOutcome::NET_COULD_NOT_START, {}};
    default:
        return {NetOutcome::NET_STARTED, {}};
    }
}

NetResult stopScmService(const std::string& name, const NetSettings& settings)
{
    std::unique_ptr<ScHandle> service = openService(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service)
        return {NetOutcome::NET_INVALID_NAME, {}};
    SERVICE_STATUS status = {};
    if (!::ControlService(service->get(), SERVICE_CONTROL_STOP, &status))
    {
        const DWORD dwError = ::GetLastError();
        switch (dwError)
        {
        case ERROR_SERVICE_NOT_ACTIVE:
            return {NetOutcome::NET_NOT_STARTED, {}};
        case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
        case ERROR_INVALID_SERVICE_CONTROL:
            return {NetOutcome::NET_NOT_CONTROLLABLE, {}};
        default: // dependent services running, access denied, ...
            fail("Cannot stop " + name, dwError);
        }
    }
    const DWORD dwState = waitWhile(*service, name, SERVICE_STOP_PENDING, settings.iStopTimeoutMs);
    if (dwState == 0)
        return notInTime(name, "stop", settings.iStopTimeoutMs);
    if (dwState != SERVICE_STOPPED)
        return {NetOutcome::NET_SYSTEM_ERROR, "The " + name + " service left the stop pending state running"};
    return {NetOutcome::NET_STOPPED, {}};
}
