#include "System.h"
#include "fakes/TestSupport.h"

#include <Poco/Process.h>
#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

using namespace testsupport;
namespace fs = std::filesystem;

TEST(zutil_System, SecondCountNeverGoesBackAndAdvances)
{
    const uint32_t start = System::getSecondCount();
    uint32_t last = start;
    EXPECT_TRUE(waitUntil(
        [&]
        {
            const uint32_t now = System::getSecondCount();
            EXPECT_GE(now, last);
            last = now;
            return now > start;
        }));
}

TEST(zutil_System, KillsEveryProcessOfTheImageByItsFullName)
{
    // Longer than the 15 characters /proc/PID/comm keeps, and unlike the
    // test runner's own name.
    TempDir dir;
    const std::string image = "zvkilltest-long-" + std::to_string(::getpid());
    const std::string exe = dir / image;
    fs::copy_file("/bin/sleep", exe);
    fs::permissions(exe, fs::perms::owner_all);

    std::vector<pid_t> vecPid;
    for (int i = 0; i < 2; ++i)
        vecPid.push_back(Poco::Process::launch(exe, {"60"}).id());
    // Killing before a child has exec'd would miss it.
    for (const pid_t pid : vecPid)
        EXPECT_TRUE(waitUntil(
            [&]
            {
                std::error_code ec;
                return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == exe;
            }));

    EXPECT_FALSE(System::findAndKillProcessByName(image + "-other.exe"));
    EXPECT_TRUE(System::findAndKillProcessByName(image + ".exe"));

    for (const pid_t pid : vecPid)
    {
        const std::optional<int> status = waitForExit(pid);
        EXPECT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
    }
    EXPECT_FALSE(System::findAndKillProcessByName(""));
}
