#include "PocoProcessLauncher.h"
#include "ProcessLimits.h"
#include "TestChild.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sys/resource.h>

TEST(PocoProcessLauncherTest, TellsLiveProcessesFromEndedOnes)
{
    PocoProcessLauncher launcher;
    TestChild sleeper = TestChild::sleeper();
    TestChild zombie = TestChild::zombie();
    EXPECT_TRUE(launcher.isRunning(sleeper.pid()));
    EXPECT_FALSE(launcher.isRunning(zombie.pid())) << "a zombie has ended";
    EXPECT_FALSE(launcher.isRunning(0x3fffffff)) << "above any pid_max";
    EXPECT_FALSE(launcher.isRunning(0));
    EXPECT_FALSE(launcher.isRunning(-1));
}

TEST(PocoProcessLauncherTest, LaunchesTheCommandThroughPathWithItsArgs)
{
    PocoProcessLauncher launcher;
    int pid = launcher.launch("sleep", {"30"});
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(launcher.isRunning(pid));
    // The child runs this program until it reaches exec.
    const std::string strExpected("sleep\0"
                                  "30\0",
                                  9);
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (text != strExpected && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        text.assign(std::istreambuf_iterator<char>(cmdline), {});
    }
    EXPECT_EQ(text, strExpected);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

TEST(ProcessLimitsTest, SoftOpenFileLimitReachesTheHardOne)
{
    unsigned long limit = ProcessLimits::raiseOpenFileLimit();
    struct rlimit rl;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &rl), 0);
    EXPECT_EQ(limit, rl.rlim_cur);
    EXPECT_EQ(rl.rlim_cur, rl.rlim_max == RLIM_INFINITY ? 1048576UL : rl.rlim_max);
}
