#pragma once

#include <Poco/Logger.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// What the demo service tells the watchdog and how it behaves.
struct DemoFeederSettings
{
    std::string strHost = "127.0.0.1";
    uint16_t nPort = 30024;
    std::string strName;    // the watched process's name, e.g. "DemoService.exe"
    std::string strService; // the service the watchdog restarts it through
    uint32_t nTimeoutMs = 5000;
    uint32_t nIntervalMs = 1000;
    int nStopFeedingAfterSec = -1; // negative: feed for as long as it runs
};

// Registers with the watchdog and feeds it on a thread of its own; after
// nStopFeedingAfterSec it stops feeding but keeps running. A lost or refused
// connection is retried every interval (register again, then feed). start()
// once; stop() wakes and joins the thread (also from the destructor).
class DemoFeeder
{
public:
    DemoFeeder(DemoFeederSettings settings, Poco::Logger& logger);
    ~DemoFeeder();
    DemoFeeder(const DemoFeeder&) = delete;
    DemoFeeder& operator=(const DemoFeeder&) = delete;

    void start();
    void stop();

private:
    void run();

    DemoFeederSettings m_settings;
    Poco::Logger& m_logger;
    std::mutex m_mutex;
    std::condition_variable m_cvStop;
    bool m_bStop = false;
    std::thread m_thread;
};
