#include "ServiceFolder.h"
#include "FolderServiceControl.h"
#include "RetryingServiceControl.h"
#include "fakes/TestSupport.h"
#include "platform/TestChild.h"

#include <Poco/Exception.h>
#include <gmock/gmock.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

class ServiceFolderTest : public ::testing::Test
{
protected:
    ServiceFolderTest() { fs::create_directory(m_folder); }

    static void addRun(const fs::path& dir, fs::perms perms = fs::perms::owner_all)
    {
        fs::create_directories(dir);
        std::ofstream(dir / "run") << "#!/bin/sh\n";
        fs::permissions(dir / "run", perms);
    }
    void writePidFile(const std::string& name, const std::string& text)
    {
        std::ofstream(m_folder / name / "pid") << text;
    }
    bool isRunning(const std::string& name) { return FolderServiceControl(m_folder).open(name)->isRunning(); }

    testsupport::TempDir m_dir;
    fs::path m_root = m_dir.path();
    fs::path m_folder = m_root / "services";
};

TEST_F(ServiceFolderTest, RegisteredOnlyWithAnExecutableRun)
{
    addRun(m_folder / "DUZI");
    addRun(m_folder / "plain", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directories(m_folder / "norun");
    fs::create_directories(m_folder / "dirrun" / "run");
    FolderServiceControl services(m_folder);
    EXPECT_TRUE(services.open("DUZI")->isRegistered());
    for (const char* name : {"plain", "norun", "dirrun", "unknown"})
        EXPECT_FALSE(services.open(name)->isRegistered()) << name;
}

// Each of these would reach an executable run if it were joined to the path.
TEST_F(ServiceFolderTest, UnsafeNamesAreNeverRegisteredNorJoined)
{
    addRun(m_root / "x");
    addRun(m_folder / "a" / "b");
    addRun(m_folder / "DUZI");
    addRun(m_folder);
    addRun(m_root);
    const std::string longest(255, 'n');
    addRun(m_folder / longest);
    ServiceFolder folder(m_folder);
    EXPECT_TRUE(folder.isRegistered(longest));

    for (const std::string& name : {std::string("../x"), std::string(), std::string("a/b"), std::string("."),
                                    std::string(".."), std::string(256, 'n'), std::string("DUZI\0x", 6)})
    {
        EXPECT_FALSE(ServiceFolder::isSafeName(name)) << name;
        EXPECT_FALSE(folder.isRegistered(name)) << name;
        EXPECT_FALSE(folder.isRunning(name)) << name;
        EXPECT_THROW(folder.serviceDir(name), Poco::InvalidArgumentException) << name;
    }
}

// A folder away for a moment (replaced, remounted) is waited for by the
// retry in front of the backend; the backend itself fails the open at once,
// naming the folder.
TEST_F(ServiceFolderTest, OpenRidesOutAFolderAwayForAMomentOnly)
{
    const fs::path away = m_root / "away";
    fs::rename(m_folder, away);
    std::thread back(
        [&]()
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            fs::rename(away, m_folder);
        });
    EXPECT_NO_THROW(RetryingServiceControl(std::make_unique<FolderServiceControl>(m_folder)).open("DUZI"));
    back.join();

    // One handle's queries all look at the folder it opened.
    addRun(m_folder / "DUZI");
    std::unique_ptr<ServiceHandle> duzi = FolderServiceControl(m_folder).open("DUZI");
    fs::rename(m_folder, away);
    EXPECT_TRUE(duzi->isRegistered());
    EXPECT_FALSE(duzi->isRunning());
    fs::rename(away, m_folder);

    const std::string strAbsent = (m_root / "absent").string();
    EXPECT_THAT(
        testsupport::thrownText<Poco::FileException>([&] { FolderServiceControl(strAbsent).open("DUZI"); }),
        ::testing::HasSubstr(strAbsent));
    addRun(m_root / "file");
    EXPECT_THROW(ServiceFolder((m_root / "file" / "run").string()), Poco::FileNotFoundException);

    {
        const testsupport::ScopedEnv env("ZELVIN_SERVICE_DIR", strAbsent);
        EXPECT_EQ(ServiceFolder::defaultPath(), strAbsent);
    }
    const testsupport::ScopedEnv env("ZELVIN_SERVICE_DIR", std::nullopt);
    EXPECT_TRUE(ServiceFolder::defaultPath().ends_with("/services"));
}

TEST_F(ServiceFolderTest, RunningFollowsTheRecordedProcessOnly)
{
    addRun(m_folder / "DUZI");
    EXPECT_FALSE(isRunning("DUZI")) << "no pid file";

    TestChild child = TestChild::sleeper();
    ServiceFolder(m_folder).writePid("DUZI", ServicePid{child.pid(), child.startTime()});
    EXPECT_TRUE(isRunning("DUZI"));

    // Same pid, different start time: a later process that reuses the pid.
    writePidFile("DUZI", std::to_string(child.pid()) + " " + std::to_string(child.startTime() + 1) + "\n");
    EXPECT_FALSE(isRunning("DUZI"));

    writePidFile("DUZI", std::to_string(child.pid()) + " " + std::to_string(child.startTime()) + "\n");
    EXPECT_TRUE(isRunning("DUZI")) << "the format net writes";
    child.reap();
    EXPECT_FALSE(isRunning("DUZI")) << "ended";

    ServiceFolder(m_folder).removePid("DUZI");
    EXPECT_FALSE(fs::exists(m_folder / "DUZI" / "pid"));
}

// Only a live process leading its own session and group, recorded with its
// start time, is the service; while a net starts or stops it, it is pending.
TEST_F(ServiceFolderTest, NoForeignProcessAndNoPendingStateCountsAsRunning)
{
    addRun(m_folder / "DUZI");
    auto record = [&](const TestChild& child)
    { writePidFile("DUZI", std::to_string(child.pid()) + " " + std::to_string(child.startTime()) + "\n"); };

    TestChild zombie = TestChild::zombie();
    record(zombie);
    EXPECT_FALSE(isRunning("DUZI")) << "zombie";
    TestChild foreign = TestChild::sleeper(false);
    record(foreign);
    EXPECT_FALSE(isRunning("DUZI")) << "not the leader of its own session";
    writePidFile("DUZI", "1 " + std::to_string(ProcStat::read(1).value().uStartTime) + "\n");
    EXPECT_FALSE(isRunning("DUZI")) << "init";

    TestChild service = TestChild::sleeper();
    record(service);
    ::setenv("ZELVIN_RUNTIME_DIR", (m_root / "run").c_str(), 1);
    ServiceFolder folder(m_folder);
    EXPECT_FALSE(folder.isPending("DUZI")) << "no command folder yet";
    PrivateFolder commands = folder.commandFolder(true);
    EXPECT_EQ(fs::status(commands.path()).permissions(), fs::perms::owner_all);
    int fd = commands.openFile(ServiceFolder::pendingFileName("DUZI"), O_RDWR | O_CREAT);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(isRunning("DUZI")) << "pending file there, not locked";
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &whole), 0);
    EXPECT_TRUE(folder.isPending("DUZI"));
    EXPECT_FALSE(isRunning("DUZI")) << "a net is at work on it";
    ::chmod(commands.path().c_str(), 0770);
    EXPECT_FALSE(folder.isPending("DUZI")) << "a folder others may write is no net's";
    ::chmod(commands.path().c_str(), 0700);
    ::close(fd);
    EXPECT_TRUE(isRunning("DUZI")) << "the lock went with its holder";
    ::unsetenv("ZELVIN_RUNTIME_DIR");
}

TEST_F(ServiceFolderTest, UnreadableOrCorruptPidFileThrows)
{
    addRun(m_folder / "DUZI");
    fs::create_directory(m_folder / "DUZI" / "pid");
    EXPECT_THROW(isRunning("DUZI"), Poco::FileException);
    fs::remove(m_folder / "DUZI" / "pid");

    for (const std::string& text :
         std::vector<std::string>{"", "garbage\n", "123\n", "0 5\n", "-4 5\n", "12 34 56\n", "12 x\n",
                                  "99999999999 1\n", "1 " + std::string(100, '1')})
    {
        writePidFile("DUZI", text);
        EXPECT_THROW(isRunning("DUZI"), Poco::DataFormatException) << text;
    }
}
