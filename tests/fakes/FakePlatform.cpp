#include "fakes/FakePlatform.h"

#include <Poco/Exception.h>

// A handle keeps the service's name and reads the script at each query, so a
// test may change a service while a handle is open.
class FakeServiceHandle : public ServiceHandle
{
public:
    FakeServiceHandle(const FakeServiceControl& owner, std::string name)
        : m_owner(owner), m_strName(std::move(name))
    {
    }

    bool isRegistered() const override { return answer(&Service::registered, &Service::throwOnIsRegistered); }
    bool isRunning() const override { return answer(&Service::running, &Service::throwOnIsRunning); }

private:
    using Service = FakeServiceControl::Service;

    bool answer(bool Service::*value, bool Service::*fails) const
    {
        const Service script = m_owner.script(m_strName);
        if (script.*fails)
            throw Poco::SystemException("fake service query failure", m_strName);
        return script.*value;
    }

    const FakeServiceControl& m_owner;
    std::string m_strName;
};

std::unique_ptr<ServiceHandle> FakeServiceControl::open(const std::string& name)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_vecOpened.push_back(name);
        if (m_bHold)
        {
            ++m_nParked;
            m_cond.notify_all();
            m_cond.wait_for(lock, std::chrono::seconds(10), [this] { return !m_bHold; });
            --m_nParked;
        }
    }
    if (script(name).throwOnOpen)
        throw Poco::SystemException("fake service manager cannot be opened", name);
    return std::make_unique<FakeServiceHandle>(*this, name);
}

FakeServiceControl::Service FakeServiceControl::script(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_mapService.find(name);
    return it == m_mapService.end() ? Service() : it->second;
}

bool FakeServiceControl::waitUntilHeld(std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, deadline, [this] { return m_nParked > 0; });
}

void FakeServiceControl::releaseOpens()
{
    underLock(m_mutex, [&] { m_bHold = false; });
    m_cond.notify_all();
}

int FakeProcessLauncher::launch(const std::string& command, const std::vector<std::string>& args)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string verb = args.empty() ? std::string() : args.front();
    if (m_bThrow && (m_strThrowVerb.empty() || m_strThrowVerb == verb))
        throw Poco::SystemException("fake launch failure", command + " " + verb);
    const int pid = m_nNextPid++;
    m_mapRunning[pid] = m_bLaunchedRunning;
    m_vecLaunch.push_back(Launch{command, args, pid});
    return pid;
}

bool FakeProcessLauncher::isRunning(int pid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vecAsked.push_back(pid);
    const auto it = m_mapRunning.find(pid);
    return it != m_mapRunning.end() && it->second;
}

std::vector<std::string> FakeProcessLauncher::commandLines() const
{
    std::vector<std::string> lines;
    for (const Launch& launch : launches())
    {
        lines.push_back(launch.command);
        for (const std::string& arg : launch.args)
            lines.back() += " " + arg;
    }
    return lines;
}
