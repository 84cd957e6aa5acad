#include "RetryingServiceControl.h"

#include <Poco/Exception.h>

namespace
{
class RetryingServiceHandle : public ServiceHandle
{
public:
    RetryingServiceHandle(ServiceControl& backend, ServiceRetry& retry, std::string strName,
                          std::unique_ptr<ServiceHandle> pOpened)
        : m_backend(backend), m_retry(retry), m_strName(std::move(strName)), m_pHandle(std::move(pOpened))
    {
    }

    bool isRegistered() const override
    {
        return m_retry.run(
            [this]
            {
                if (!m_pHandle)
                    m_pHandle = m_backend.open(m_strName);
                try
                {
                    return m_pHandle->isRegistered();
                }
                catch (const Poco::Exception&)
                {
                    m_pHandle.reset();
                    throw;
                }
            });
    }

    bool isRunning() const override
    {
        if (!m_pHandle)
            m_pHandle = m_backend.open(m_strName);
        try
        {
            return m_pHandle->isRunning();
        }
        catch (const Poco::Exception&)
        {
            // The manager may have gone away between the two questions (a
            // re-execution drops every connection): once it answers the
            // registration again, within the retry, the running state is
            // asked once more on a fresh connection. What still fails is the
            // caller's "exception"; a manager gone for good raises as above.
            m_pHandle.reset();
            if (!isRegistered())
                throw;
            return m_pHandle->isRunning();
        }
    }

private:
    ServiceControl& m_backend;
    ServiceRetry& m_retry;
    std::string m_strName;
    mutable std::unique_ptr<ServiceHandle> m_pHandle; // null after a failed query
};
} // namespace

RetryingServiceControl::RetryingServiceControl(std::unique_ptr<ServiceControl> pBackend,
                                               std::unique_ptr<ServiceRetry> pRetry)
    : m_pBackend(std::move(pBackend)), m_pRetry(std::move(pRetry))
{
}

std::unique_ptr<ServiceHandle> RetryingServiceControl::open(const std::string& name)
{
    std::unique_ptr<ServiceHandle> pOpened = m_pRetry->run([&] { return m_pBackend->open(name); });
    return std::make_unique<RetryingServiceHandle>(*m_pBackend, *m_pRetry, name, std::move(pOpened));
}

void RetryingServiceControl::beginPass()
{
    m_pRetry->beginPass();
    m_pBackend->beginPass();
}
