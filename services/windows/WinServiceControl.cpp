#include "WinServiceControl.h"

#include <Poco/Util/WinService.h>

namespace
{
// Owns one WinService, i.e. the manager handle and, once queried, the
// service's handle; both are closed by WinService's destructor.
class WinServiceHandle : public ServiceHandle
{
public:
    explicit WinServiceHandle(const std::string& name) : m_service(name) {}

    // A name the manager does not know, or one it rejects, is not registered.
    bool isRegistered() const override { return m_service.isRegistered(); }

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
