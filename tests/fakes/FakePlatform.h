#pragma once

// Fakes for the watchdog's platform seams. Each one records what the module
// asked of it, so tests assert on behaviour rather than on scripted calls.
// All of them lock internally: the module's worker thread uses them while the
// test thread scripts and inspects them.

#include "WatchdogPlatform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The result of `f`, called with `mutex` held.
template <typename F> auto underLock(std::mutex& mutex, F f)
{
    std::lock_guard<std::mutex> lock(mutex);
    return f();
}

// A copy of `value`, taken with `mutex` held.
template <typename T> T lockedCopy(std::mutex& mutex, const T& value)
{
    std::lock_guard<std::mutex> lock(mutex);
    return value;
}

// A settable whole-second count.
class FakeClock : public SecondsClock
{
public:
    uint32_t getSecondCount() override { return m_nSeconds.load(); }
    void set(uint32_t seconds) { m_nSeconds = seconds; }
    void advance(uint32_t seconds) { m_nSeconds += seconds; }

private:
    std::atomic<uint32_t> m_nSeconds{1000};
};

// Per-name scripted services. A name never scripted is unregistered.
class FakeServiceControl : public ServiceControl
{
public:
    struct Service
    {
        bool registered = false;
        bool running = false;
        bool throwOnOpen = false;
        bool throwOnIsRegistered = false;
        bool throwOnIsRunning = false;
    };

    std::unique_ptr<ServiceHandle> open(const std::string& name) override;

    // Sets the whole script of `name`; or registered and running / stopped.
    void set(const std::string& name, const Service& s)
    {
        underLock(m_mutex, [&] { return m_mapService[name] = s; });
    }
    void setRunning(const std::string& name) { set(name, {true, true}); }
    void setStopped(const std::string& name) { set(name, {true, false}); }
    Service script(const std::string& name) const;

    // Every name passed to open, in call order.
    std::vector<std::string> opened() const { return lockedCopy(m_mutex, m_vecOpened); }
    void clearOpened()
    {
        underLock(m_mutex, [&] { m_vecOpened.clear(); });
    }

    // A gate that parks the caller of open (the module's worker, inside its
    // supervision cycle) so a test can arrange its sockets while the worker
    // is at a known place. A parked call goes on after releaseOpens, or on
    // its own after 10 s so a broken test cannot hang.
    void holdOpens()
    {
        underLock(m_mutex, [&] { m_bHold = true; });
    }
    // Waits (up to `deadline`) until a call is parked; false otherwise.
    bool waitUntilHeld(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    void releaseOpens();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::map<std::string, Service> m_mapService;
    std::vector<std::string> m_vecOpened;
    bool m_bHold = false;
    int m_nParked = 0;
};

// Records every launch and answers isRunning from a per-pid table.
class FakeProcessLauncher : public ProcessLauncher
{
public:
    struct Launch
    {
        std::string command;
        std::vector<std::string> args;
        int pid = 0;
    };

    // Returns a fresh pid (from 5000 up); the pid counts as running when
    // setLaunchedRunning(true) (the default). Throws Poco::SystemException
    // when told to, for every verb or only for the one given.
    int launch(const std::string& command, const std::vector<std::string>& args) override;
    bool isRunning(int pid) override;

    void setRunning(int pid, bool running)
    {
        underLock(m_mutex, [&] { return m_mapRunning[pid] = running; });
    }
    void setLaunchedRunning(bool running)
    {
        underLock(m_mutex, [&] { m_bLaunchedRunning = running; });
    }
    void throwOnLaunch(const std::string& verb = std::string())
    {
        underLock(m_mutex, [&] { m_bThrow = true, m_strThrowVerb = verb; });
    }

    std::vector<Launch> launches() const { return lockedCopy(m_mutex, m_vecLaunch); }
    // "net stop X", "net start Y" ... one text per launch, in order.
    std::vector<std::string> commandLines() const;
    std::vector<int> pidsAsked() const { return lockedCopy(m_mutex, m_vecAsked); }
    void clear()
    {
        underLock(m_mutex, [&] { m_vecLaunch.clear(), m_vecAsked.clear(); });
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Launch> m_vecLaunch;
    std::vector<int> m_vecAsked;
    std::map<int, bool> m_mapRunning;
    bool m_bLaunchedRunning = true;
    bool m_bThrow = false;
    std::string m_strThrowVerb;
    int m_nNextPid = 5000;
};

// Scripted integrity verdict; records the image names it was told to kill.
class FakeInstallGuard : public InstallGuard
{
public:
    int checkIntegrity() override { return m_nVerdict.load(); }
    bool findAndKillProcessByName(const std::string& image) override
    {
        return underLock(m_mutex, [&] { return m_vecKilled.push_back(image), true; });
    }

    void setVerdict(int verdict) { m_nVerdict = verdict; }
    std::vector<std::string> killed() const { return lockedCopy(m_mutex, m_vecKilled); }

private:
    std::atomic<int> m_nVerdict{0};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_vecKilled;
};

// Keeps every snapshot the module's worker writes.
class FakeStatusWriter : public StatusWriter
{
public:
    void write(const StatusSnapshot& s) override
    {
        underLock(m_mutex, [&] { m_vecWritten.push_back(s); });
    }
    std::vector<StatusSnapshot> written() const { return lockedCopy(m_mutex, m_vecWritten); }

private:
    mutable std::mutex m_mutex;
    std::vector<StatusSnapshot> m_vecWritten;
};

// All the fakes; must outlive every module built on platform().
struct FakePlatform
{
    FakeClock clock;
    FakeServiceControl services;
    FakeProcessLauncher processes;
    FakeInstallGuard install;
    FakeStatusWriter status;

    WatchdogPlatform platform()
    {
        return WatchdogPlatform{clock, services, processes, install, &status, "fake"};
    }
};
