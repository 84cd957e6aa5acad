#include "ServiceNotifier.h"
#include "fakes/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// A datagram socket standing in for systemd's notification socket, named
// in NOTIFY_SOCKET for the life of the object, with a keep-alive interval of
// WATCHDOG_USEC.
class FakeNotifySocket
{
public:
    explicit FakeNotifySocket(const char* watchdogUsec)
        : m_strPath(m_dir / "notify"), m_socketEnv("NOTIFY_SOCKET", m_strPath),
          m_usecEnv("WATCHDOG_USEC", std::string(watchdogUsec)), m_pidEnv("WATCHDOG_PID", std::nullopt)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        m_strPath.copy(address.sun_path, sizeof(address.sun_path) - 1);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    ~FakeNotifySocket() { ::close(m_fd); }

    // The next message, or nullopt when none comes within `timeoutMs`.
    std::optional<std::string> next(int timeoutMs = 5000)
    {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) != 1)
            return std::nullopt;
        char buf[256];
        const ssize_t n = ::recv(m_fd, buf, sizeof(buf), 0);
        return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buf, n));
    }

private:
    testsupport::TempDir m_dir;
    std::string m_strPath;
    testsupport::ScopedEnv m_socketEnv, m_usecEnv, m_pidEnv;
    int m_fd = -1;
};

} // namespace

// READY=1 once; WATCHDOG=1 only while the worker's progress count advances
// (checked every quarter of WATCHDOG_USEC, here 100 ms); STOPPING=1 at the
// end.
TEST(platform_ServiceNotifier, FeedsTheManagerOnlyWhileTheWorkerProgresses)
{
    FakeNotifySocket manager("400000");
    std::atomic<uint64_t> progress{0};
    {
        ServiceNotifier notifier([&progress] { return progress.load(); });
        notifier.notifyReady();
        EXPECT_EQ("READY=1", manager.next());
        // Frozen worker: five check periods without a keep-alive.
        EXPECT_EQ(std::nullopt, manager.next(500));
        ++progress;
        EXPECT_EQ("WATCHDOG=1", manager.next());
        EXPECT_EQ(std::nullopt, manager.next(500));
        ++progress;
        EXPECT_EQ("WATCHDOG=1", manager.next());
    }
    EXPECT_EQ("STOPPING=1", manager.next());
}
