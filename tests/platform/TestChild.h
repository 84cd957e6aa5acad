#pragma once

#include "ProcStat.h"
#include "fakes/TestSupport.h"

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

// Children in known states for the process-state tests. Each is killed (if
// need be) and reaped when the object goes.
class TestChild
{
public:
    // A child that sleeps until killed; in a session of its own, as a service
    // that net started, unless `bOwnSession` is false.
    static TestChild sleeper(bool bOwnSession = true)
    {
        pid_t pid = ::fork();
        if (pid == 0)
        {
            if (bOwnSession)
                ::setsid();
            ::pause();
            ::_exit(0);
        }
        TestChild child(pid);
        if (bOwnSession)
            child.waitFor([pid](const ProcStat::Info& info) { return info.iSession == pid; });
        return child;
    }

    // A child that has ended and is left unreaped.
    static TestChild zombie()
    {
        pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(0);
        TestChild child(pid);
        child.waitFor([](const ProcStat::Info& info) { return info.cState == 'Z'; });
        return child;
    }

    TestChild(TestChild&& other) noexcept : m_pid(other.m_pid) { other.m_pid = -1; }
    ~TestChild() { reap(); }

    int pid() const { return m_pid; }
    uint64_t startTime() const { return ProcStat::read(m_pid).value().uStartTime; }

    void reap()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    explicit TestChild(int pid) : m_pid(pid) {}

    // Until the child's stat satisfies `done`, at most 30 s.
    template <typename Predicate> void waitFor(Predicate done) const
    {
        testsupport::waitUntil(
            [&]
            {
                const auto info = ProcStat::read(m_pid);
                return info && done(*info);
            },
            std::chrono::seconds(30));
    }
    int m_pid;
};
