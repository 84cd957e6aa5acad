#include "ProcessLimits.h"
#include "SystemProcessLauncher.h"
#include "TestChild.h"
#include "fakes/TestSupport.h"

#include <Poco/Exception.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <sys/resource.h>

namespace
{
std::string readProcFile(int pid, const std::string& name)
{
    return testsupport::readFile("/proc/" + std::to_string(pid) + "/" + name);
}

// Waits (generously) until `pid` runs the program whose command line is
// `expected`, so its descriptors and signal state are the program's own.
std::string waitForCmdline(int pid, const std::string& expected)
{
    std::string text;
    testsupport::waitUntil([&] { return (text = readProcFile(pid, "cmdline")) == expected; },
                           std::chrono::seconds(30));
    return text;
}

// The hexadecimal mask after `field` in /proc/PID/status ("SigBlk:" ...).
std::string statusField(int pid, const std::string& field)
{
    const std::string status = readProcFile(pid, "status");
    const std::size_t at = status.find(field);
    if (at == std::string::npos)
        return "missing";
    const std::size_t begin = status.find_first_not_of(" \t", at + field.size());
    return status.substr(begin, status.find('\n', begin) - begin);
}

void killAndReap(int pid)
{
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

const std::string SLEEP_CMDLINE("sleep\0"
                                "30\0",
                                9);
} // namespace

TEST(SystemProcessLauncherTest, TellsLiveProcessesFromEndedOnes)
{
    SystemProcessLauncher launcher;
    TestChild sleeper = TestChild::sleeper();
    TestChild zombie = TestChild::zombie();
    EXPECT_TRUE(launcher.isRunning(sleeper.pid()));
    EXPECT_FALSE(launcher.isRunning(zombie.pid())) << "a zombie has ended";
    EXPECT_FALSE(launcher.isRunning(0x3fffffff)) << "above any pid_max";
    EXPECT_FALSE(launcher.isRunning(0));
    EXPECT_FALSE(launcher.isRunning(-1));
}

// The watchdog's sockets and log file are open without close-on-exec, and its
// worker thread blocks SIGTERM; neither may reach the command it starts.
TEST(SystemProcessLauncherTest, CommandGetsNoDescriptorsAndACleanSignalState)
{
    const int fd = ::open("/dev/null", O_RDONLY); // deliberately no O_CLOEXEC
    ASSERT_GE(fd, 3);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigset_t previous;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previousPipe = {};
    ::sigaction(SIGPIPE, &ignore, &previousPipe);

    SystemProcessLauncher launcher;
    int pid = launcher.launch("sleep", {"30"});

    ::sigaction(SIGPIPE, &previousPipe, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(fd);
    ASSERT_EQ(waitForCmdline(pid, SLEEP_CMDLINE), SLEEP_CMDLINE);

    // Right after exec the dynamic loader holds a library open for a moment,
    // so the command's descriptors are read until they settle; a leaked one
    // never goes away.
    std::vector<int> vecFds;
    testsupport::waitUntil(
        [&] {
            vecFds.clear();
            for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
                vecFds.push_back(std::stoi(entry.path().filename().string()));
            return std::all_of(vecFds.begin(), vecFds.end(), [](int childFd) { return childFd < 3; });
        },
        std::chrono::seconds(5));
    for (int childFd : vecFds)
        EXPECT_LT(childFd, 3) << "descriptor " << childFd << " leaked into the command";
    EXPECT_EQ(statusField(pid, "SigBlk:"), "0000000000000000");
    // glibc's spawn leaves its two internal real-time signals (32, 33)
    // ignored; every standard signal must be back at its default.
    EXPECT_EQ(std::stoull(statusField(pid, "SigIgn:"), nullptr, 16) & 0x7fffffffULL, 0ULL)
        << statusField(pid, "SigIgn:");
    killAndReap(pid);
}

TEST(SystemProcessLauncherTest, CommandMissingFromPathThrows)
{
    SystemProcessLauncher launcher;
    EXPECT_THROW(launcher.launch("no-such-command-for-the-watchdog", {}), Poco::SystemException);

    // "net" itself, with a PATH that has no "net" in it.
    const testsupport::TempDir emptyDir;
    const testsupport::ScopedEnv path("PATH", emptyDir.path().string());
    EXPECT_THAT(testsupport::thrownText<Poco::Exception>(
                    [&] {
                        launcher.launch("net", {"start", "DUZI"});
                    }),
                ::testing::HasSubstr("Cannot start net"));
}

TEST(ProcessLimitsTest, SoftOpenFileLimitReachesTheHardOne)
{
    unsigned long limit = ProcessLimits::raiseOpenFileLimit();
    struct rlimit rl;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &rl), 0);
    EXPECT_EQ(limit, rl.rlim_cur);
    EXPECT_EQ(rl.rlim_cur, rl.rlim_max == RLIM_INFINITY ? 1048576UL : rl.rlim_max);
}
