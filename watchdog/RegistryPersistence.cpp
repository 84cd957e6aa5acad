// The registry across restarts of the watchdog: restored at start-up from
// the store, saved after every pass that changed it. Without a store
// (no state folder) neither happens. Records go to the diagnostics logger:
// none of this is an operation of the watchdog's own.
#include "LogRecord.h"
#include "RegistryFormat.h"
#include "WatchdogServerModule.h"

#include <Poco/Exception.h>

#include <exception>

namespace
{
std::string timeoutText(uint32_t timeoutMs)
{
    return timeoutMs == WATCHDOG_TIMEOUT_NEVER ? std::string("never") : std::to_string(timeoutMs) + " ms";
}

const char* stateText(WatchState state)
{
    return state == WatchState::Restarted ? "restarted" : "registered";
}
} // namespace

void WatchdogServerModule::restoreRegistry()
{
    RegistryStore* store = m_platform.store;
    if (store == nullptr)
    {
        DIAG_INFO(
            "[%s %?d] no state folder (ZELVIN_STATE_DIR, STATE_DIRECTORY): registrations are not saved");
        return;
    }

    std::string problem;
    try
    {
        const std::optional<std::string> bytes = store->load();
        if (!bytes)
        {
            DIAG_INFO("[%s %?d] no saved registry in %s: starting with an empty registry", store->location());
            return;
        }
        RegistryFormat::Parsed saved = RegistryFormat::read(*bytes);
        if (saved.ok())
        {
            // As a register does: each restored process has a whole timeout to
            // feed again.
            const uint32_t now = nowMs();
            for (auto& [name, process] : saved.records)
            {
                process.lastFeedMs = now;
                DIAG_INFO("[%s %?d] restored process[%s] service[%s] timeout[%s] state[%s] restarts[%?d]",
                          name, process.serviceName, timeoutText(process.timeoutMs),
                          stateText(process.watchState), process.restartCount);
            }
            m_mapWatchProcess = std::move(saved.records);
            DIAG_INFO("[%s %?d] restored %?d records from %s", m_mapWatchProcess.size(), store->location());
            return;
        }
        problem = saved.error;
    }
    catch (const Poco::Exception& exc)
    {
        problem = "cannot be read: " + exc.displayText();
    }
    catch (const std::exception& exc)
    {
        problem = std::string("cannot be read: ") + exc.what();
    }

    const std::string aside = store->setAside();
    DIAG_ERROR("[%s %?d] the saved registry %s %s; %s; starting with an empty registry", store->location(),
               problem, aside.empty() ? std::string("it could not be set aside") : "set aside as " + aside);
}

void WatchdogServerModule::saveRegistryIfChanged() noexcept
{
    RegistryStore* store = m_platform.store;
    if (store == nullptr || !m_bRegistryChanged)
        return;
    try
    {
        try
        {
            store->save(RegistryFormat::write(m_mapWatchProcess));
            m_bRegistryChanged = false;
            if (m_bSaveFailing)
                DIAG_INFO("[%s %?d] the registry is saved to %s again", store->location());
            m_bSaveFailing = false;
        }
        catch (const std::exception& exc)
        {
            // Recorded when saving starts to fail, not after every pass; the
            // change stays pending and the next pass tries again.
            if (!m_bSaveFailing)
            {
                const auto* pPoco = dynamic_cast<const Poco::Exception*>(&exc);
                DIAG_ERROR("[%s %?d] cannot save the registry to %s: %s; trying again after every pass",
                           store->location(), pPoco ? pPoco->displayText() : std::string(exc.what()));
            }
            m_bSaveFailing = true;
        }
    }
    catch (...)
    {
        // Even the record could not be written: the worker goes on regardless.
        m_bSaveFailing = true;
    }
}
