#pragma once

// Stand-ins for the platform seams that record nothing and never lock, so a
// benchmark measures the module and not its test doubles (the recording fakes
// of tests/fakes grow with every call, which a million iterations would show).

#include "WatchdogPlatform.h"

#include <memory>

class BenchClock : public SecondsClock
{
public:
    uint32_t getSecondCount() override { return m_nSeconds; }
    void advance(uint32_t seconds) { m_nSeconds += seconds; }

private:
    uint32_t m_nSeconds = 1000;
};

// Every service is registered; all run unless `bRunning` is false.
class BenchServiceControl : public ServiceControl
{
public:
    explicit BenchServiceControl(bool bRunning = true) : m_bRunning(bRunning) {}

    std::unique_ptr<ServiceHandle> open(const std::string&) override
    {
        return std::make_unique<Handle>(m_bRunning);
    }

private:
    class Handle : public ServiceHandle
    {
    public:
        explicit Handle(bool bRunning) : m_bRunning(bRunning) {}
        bool isRegistered() const override { return true; }
        bool isRunning() const override { return m_bRunning; }

    private:
        bool m_bRunning;
    };
    bool m_bRunning;
};

// Starts nothing: every launch gets the same pid, which counts as running.
class BenchProcessLauncher : public ProcessLauncher
{
public:
    int launch(const std::string&, const std::vector<std::string>&) override
    {
        ++m_nLaunches;
        return 4242;
    }
    bool isRunning(int) override { return true; }
    uint64_t launches() const { return m_nLaunches; }

private:
    uint64_t m_nLaunches = 0;
};

class BenchInstallGuard : public InstallGuard
{
public:
    int checkIntegrity() override { return 0; }
    bool findAndKillProcessByName(const std::string&) override { return true; }
};

struct BenchPlatform
{
    BenchClock clock;
    BenchServiceControl services;
    BenchProcessLauncher processes;
    BenchInstallGuard install;

    WatchdogPlatform platform() { return WatchdogPlatform{clock, services, processes, install}; }
};
