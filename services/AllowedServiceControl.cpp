#include "AllowedServiceControl.h"

#include "LogRecord.h"

#include <Poco/Exception.h>

namespace fs = std::filesystem;

namespace
{
const std::chrono::seconds CHECK_INTERVAL(1);

// A service the watchdog may not control: not registered, never asked.
class NotAllowedService : public ServiceHandle
{
public:
    bool isRegistered() const override { return false; }
    bool isRunning() const override { return false; }
};
} // namespace

AllowedServiceControl::AllowedServiceControl(std::unique_ptr<ServiceControl> pBackend, fs::path configFolder,
                                             ServiceAllowList::Fallback eFallback, bool bIgnoreCase)
    : m_pBackend(std::move(pBackend)), m_configFolder(std::move(configFolder)), m_eFallback(eFallback),
      m_bIgnoreCase(bIgnoreCase), m_list(ServiceAllowList::read(m_configFolder, eFallback, bIgnoreCase)),
      m_strFingerprint(fingerprint()), m_nextCheck(std::chrono::steady_clock::now() + CHECK_INTERVAL)
{
}

std::unique_ptr<ServiceHandle> AllowedServiceControl::open(const std::string& name)
{
    bool bAllowed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        refresh();
        bAllowed = m_list.allows(name);
    }
    if (!bAllowed)
        return std::make_unique<NotAllowedService>();
    return m_pBackend->open(name);
}

ServiceAllowList AllowedServiceControl::list()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_list;
}

std::string AllowedServiceControl::fingerprint() const
{
    const fs::path folder = m_configFolder / "services.d";
    std::error_code ec;
    std::string text;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    {
        std::error_code ecEntry;
        const auto stamp = fs::last_write_time(it->path(), ecEntry).time_since_epoch().count();
        const auto size = it->is_regular_file(ecEntry) ? fs::file_size(it->path(), ecEntry) : 0;
        text +=
            it->path().filename().string() + ' ' + std::to_string(stamp) + ' ' + std::to_string(size) + '\n';
    }
    return ec ? "unreadable: " + ec.message() : text;
}

void AllowedServiceControl::refresh()
{
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextCheck)
        return;
    m_nextCheck = now + CHECK_INTERVAL;
    const std::string strFingerprint = fingerprint();
    if (strFingerprint == m_strFingerprint)
        return;
    try
    {
        m_list = ServiceAllowList::read(m_configFolder, m_eFallback, m_bIgnoreCase);
        m_strFingerprint = strFingerprint;
        m_strLastFailure.clear();
        DIAG_INFO("[%s %?d] service allow-list: %s", m_list.describe());
    }
    catch (const Poco::Exception& exc)
    {
        // Keeps the list in force; said once per failure, not once a second.
        if (exc.displayText() != m_strLastFailure)
            DIAG_ERROR("[%s %?d] service allow-list kept, the new one cannot be read: %s", exc.displayText());
        m_strLastFailure = exc.displayText();
    }
}
