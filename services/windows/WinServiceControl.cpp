#include "WinServiceControl.h"

#include <Poco/Error.h>
#include <Poco/Exception.h>
#include <Poco/Util/WinService.h>

#include <windows.h>

namespace
{
// Owns one WinService, i.e. the manager handle and, once queried, the
// service's handle; both are closed by WinService's destructor.
class WinServiceHandle : public ServiceHandle
{
public:
    explicit WinServiceHandle(const std::string& name) : m_service(name) {}

    // WinService answers false for any failure to open the service; only a
    // name the manager does not know, or rejects, is unregistered here. Any
    // other failure (access denied, the manager shutting down, ...) throws
    // Poco::SystemException, as the query failed.
    bool isRegistered() const override
    {
        if (m_service.isRegistered())
            return true;
        const DWORD dwError = ::GetLastError();
        if (dwError == ERROR_SERVICE_DOES_NOT_EXIST || dwError == ERROR_INVALID_NAME)
            return false;
        throw Poco::SystemException("Cannot open the service " + m_service.name(),
                                    Poco::Error::getMessage(dwError));
    }

    // Throws Poco::NotFoundException for an unknown service and
    // Poco::SystemException when the status query fails.
    bool isRunning() const override { return m_service.isRunning(); }

private:
    Poco::Util::WinService m_service;
};
} // namespace

std::unique_ptr<ServiceHandle> WinServiceControl::open(const std::string& name)
{
    return std::make_unique<WinServiceHandle>(name);
}
