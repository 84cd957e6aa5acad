#pragma once

#include "ServiceAllowList.h"
#include "ServiceControl.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The one rule of what the watchdog may control, on every backend: a
// service the allow-list (ServiceAllowList.h) does not allow is reported
// unregistered, and the backend is never asked about it. The list is read
// when the object is made and read again, at most once a second, when a file
// of services.d has changed; a list that then cannot be read keeps the one
// before it and says so once on the logger "Watchdog". Thread-safe.
class AllowedServiceControl : public ServiceControl
{
public:
    // Throws what ServiceAllowList::read throws when the first reading fails.
    AllowedServiceControl(std::unique_ptr<ServiceControl> pBackend, std::filesystem::path configFolder,
                          ServiceAllowList::Fallback eFallback, bool bIgnoreCase);

    // Throws what the backend's open throws, for an allowed name only.
    std::unique_ptr<ServiceHandle> open(const std::string& name) override;
    void beginPass() override { m_pBackend->beginPass(); }

    // The list in force now.
    ServiceAllowList list();

private:
    // What services.d looks like: its files, their sizes and times.
    std::string fingerprint() const;
    void refresh();

    std::unique_ptr<ServiceControl> m_pBackend;
    std::filesystem::path m_configFolder;
    ServiceAllowList::Fallback m_eFallback;
    bool m_bIgnoreCase;

    std::mutex m_mutex;
    ServiceAllowList m_list;
    std::string m_strFingerprint;
    std::chrono::steady_clock::time_point m_nextCheck;
    std::string m_strLastFailure;
};
