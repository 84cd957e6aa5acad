#include "ChildReaper.h"
#include "ProcStat.h"
#include "SystemProcessLauncher.h"
#include "fakes/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace
{
// Processes whose parent is this one, running or zombie.
int countChildren()
{
    int iCount = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc"))
    {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const auto info = ProcStat::read(std::stoi(name));
        iCount += info && info->iParentPid == ::getpid() ? 1 : 0;
    }
    return iCount;
}
} // namespace

template <typename Predicate> bool waitFor(Predicate predicate)
{
    return testsupport::waitUntil(predicate, std::chrono::seconds(60));
}

TEST(ChildReaperTest, LeavesNoZombieBehindCommandsNobodyWaitsFor)
{
    ChildReaper::install();
    ChildReaper::install();
    SystemProcessLauncher launcher;
    for (int i = 0; i < 50; ++i)
        launcher.launch("true", {});
    EXPECT_TRUE(waitFor([] { return countChildren() == 0; }));
}

// What `net start` does to its service: the command ends, its child lives on
// and must come to us, to be reaped when it ends in turn.
TEST(ChildReaperTest, AdoptsAndReapsOrphansOfCommands)
{
    ChildReaper::install();
    std::string strPidFile = "/tmp/zvorphan." + std::to_string(::getpid());
    SystemProcessLauncher launcher;
    int iShell = launcher.launch("sh", {"-c", "sleep 60 & echo $! > " + strPidFile + ".tmp && mv " +
                                                  strPidFile + ".tmp " + strPidFile});
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(strPidFile) && !launcher.isRunning(iShell); }));
    int iOrphan = 0;
    std::ifstream(strPidFile) >> iOrphan;
    std::filesystem::remove(strPidFile);
    ASSERT_GT(iOrphan, 0);
    EXPECT_TRUE(waitFor([&] { return countChildren() == 1; })) << "the orphan is ours";
    ::kill(iOrphan, SIGKILL);
    EXPECT_TRUE(waitFor([] { return countChildren() == 0; }));
}
