#include "DemoFeeder.h"

#include "WatchdogClient.h"

#include <Poco/Exception.h>
#include <Poco/Process.h>

#include <chrono>
#include <memory>

DemoFeeder::DemoFeeder(DemoFeederSettings settings, Poco::Logger& logger)
    : m_settings(std::move(settings)), m_logger(logger)
{
}

DemoFeeder::~DemoFeeder()
{
    stop();
}

void DemoFeeder::start()
{
    m_thread = std::thread(&DemoFeeder::run, this);
}

void DemoFeeder::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cvStop.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void DemoFeeder::run()
{
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(m_settings.nIntervalMs);
    const Clock::time_point started = Clock::now();
    const bool bStopsFeeding = m_settings.nStopFeedingAfterSec >= 0;
    const Clock::time_point stopFeedingAt = started + std::chrono::seconds(m_settings.nStopFeedingAfterSec);
    bool bFeeding = true;
    std::unique_ptr<WatchdogClient> pClient;

    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bStop)
    {
        if (bFeeding && bStopsFeeding && Clock::now() >= stopFeedingAt)
        {
            bFeeding = false;
            m_logger.information("stopped feeding the watchdog, still running");
        }
        try
        {
            if (!pClient)
            {
                pClient = std::make_unique<WatchdogClient>(m_settings.strHost, m_settings.nPort);
                pClient->connect();
                pClient->registerProcess(m_settings.strName, m_settings.strService,
                                         static_cast<uint32_t>(Poco::Process::id()), m_settings.nTimeoutMs);
                m_logger.information("registered " + m_settings.strName + " for service " +
                                     m_settings.strService + " at " + pClient->address());
            }
            else if (bFeeding)
            {
                pClient->feed(m_settings.strName);
            }
            else
            {
                pClient->checkConnection();
            }
        }
        catch (const Poco::Exception& exc)
        {
            m_logger.warning("watchdog connection: " + exc.displayText());
            pClient.reset();
        }
        m_cvStop.wait_for(lock, interval, [this] { return m_bStop; });
    }
    if (pClient)
        pClient->close();
}
