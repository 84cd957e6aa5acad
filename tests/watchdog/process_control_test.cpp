// Stopping and starting through the "net" command, and the start-up check of
// the dependent services with the service status query.
#include "WatchdogTestSupport.h"

#include <Poco/Exception.h>
#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace
{

using Lines = std::vector<std::string>;

WatchProcess makeProcess(uint32_t pid)
{
    WatchProcess process;
    process.processName = "app.exe";
    process.serviceName = "App Svc";
    process.processId = pid;
    return process;
}

class ProcessControlTest : public ModuleTest
{
};

TEST_F(ProcessControlTest, KillStopsTheServiceAndReportsAProcessStillAlive)
{
    fake.processes.setRunning(42, true);
    EXPECT_EQ(module->killProcess(makeProcess(42)), 0);
    EXPECT_EQ(module->killProcess(makeProcess(43)), 0);

    const auto launches = fake.processes.launches();
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0].command, "net");
    EXPECT_EQ(launches[0].args, (Lines{"stop", "App Svc"}));
    EXPECT_THAT(fake.processes.pidsAsked(), ElementsAre(42, 43));
    ASSERT_THAT(logs->messages(),
                ElementsAre("kill process[app.exe]", "the killed process[app.exe] is still running!\n",
                            "kill process[app.exe]"));
    EXPECT_EQ(logs->records()[0].priority, PRIO_INFO);
    expectOne(logs.channel(), "killProcess", "the killed process[app.exe] is still running!\n", PRIO_ERROR);

    fake.processes.throwOnLaunch();
    EXPECT_THROW(module->killProcess(makeProcess(42)), Poco::Exception);
}

TEST_F(ProcessControlTest, LaunchSucceedsOnlyWhileTheCommandStillRuns)
{
    EXPECT_EQ(module->launchProcess(makeProcess(42)), 0);
    const auto launches = fake.processes.launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].command, "net");
    EXPECT_EQ(launches[0].args, (Lines{"start", "App Svc"}));
    // The command's own process is tested, not the watched one.
    EXPECT_THAT(fake.processes.pidsAsked(), ElementsAre(launches[0].pid));
    EXPECT_THAT(logs->messages(), ElementsAre("launch process[App Svc]", "launch process[App Svc] Success"));
    for (const CapturedRecord& record : logs->records())
        EXPECT_EQ(record.priority, PRIO_INFO);

    logs->clear();
    fake.processes.setLaunchedRunning(false);
    EXPECT_EQ(module->launchProcess(makeProcess(42)), -12);
    EXPECT_THAT(logs->messages(), ElementsAre("launch process[App Svc]", "net start app[App Svc] fail!"));
    expectOne(logs.channel(), "launchProcess", "net start app[App Svc] fail!", PRIO_ERROR);

    logs->clear();
    fake.processes.throwOnLaunch();
    EXPECT_EQ(module->launchProcess(makeProcess(42)), -12);
    EXPECT_THAT(logs->messages(), ElementsAre("launch process[App Svc]", "Launch process[iau] Exception!"));
    expectOne(logs.channel(), "launchProcess", "Launch process[iau] Exception!", PRIO_INFO);
}

class DependentStartTest : public ModuleTest
{
protected:
    std::vector<std::pair<std::string, int32_t>> table() const
    {
        return {module->serverStatuses().begin(), module->serverStatuses().end()};
    }
};

// Each service's state goes into the table; only a stopped one is started,
// the others are logged by the start-up check. An unregistered service is
// not asked whether it runs (here that query would throw).
TEST_F(DependentStartTest, OnlyAStoppedServiceIsStartedAndEveryStateIsKept)
{
    fake.services.set("MySqlqvms80", {.registered = false, .throwOnIsRunning = true});
    EXPECT_EQ(module->checkAndStartServer(), 0);
    EXPECT_THAT(fake.services.opened(), ElementsAre("MySqlqvms80", "DUZI", "VADA"));
    EXPECT_THAT(logs->messages(),
                ElementsAre("Process[MySqlqvms80] is unregistered!", "Process[DUZI] is unregistered!",
                            "Process[VADA] is unregistered!"));
    for (const CapturedRecord& record : logs->records())
    {
        EXPECT_EQ(record.function, "WatchdogServerModule::checkAndStartServer");
        EXPECT_EQ(record.priority, PRIO_INFO);
    }
    EXPECT_THAT(table(), ElementsAre(std::pair<std::string, int32_t>{"DUZI", 2},
                                     std::pair<std::string, int32_t>{"MySqlqvms80", 2},
                                     std::pair<std::string, int32_t>{"VADA", 2}));
    EXPECT_TRUE(fake.processes.launches().empty());

    logs->clear();
    fake.services.setStopped("MySqlqvms80");
    fake.services.setRunning("DUZI");
    fake.services.set("VADA", {.registered = true, .running = true, .throwOnIsRunning = true});
    EXPECT_EQ(module->checkAndStartServer(), 0);
    EXPECT_EQ(fake.processes.commandLines(), (Lines{"net start MySqlqvms80"}));
    EXPECT_THAT(logs->messages(), ElementsAre("Process[DUZI] is running!", "Process[VADA] is exception!"));
    EXPECT_THAT(table(), ElementsAre(std::pair<std::string, int32_t>{"DUZI", SERVER_RUNNING},
                                     std::pair<std::string, int32_t>{"MySqlqvms80", SERVER_STOP},
                                     std::pair<std::string, int32_t>{"VADA", SERVER_EXCEPTION}));
}

TEST_F(DependentStartTest, FailedQueryOrStartEndsTheWalk)
{
    for (const char* name : {"MySqlqvms80", "DUZI", "VADA"})
        fake.services.setRunning(name);
    module->checkAndStartServer();
    fake.services.clearOpened();

    // The table is emptied first, so the failing service and those after it
    // have no entry.
    fake.services.set("DUZI", {.registered = true, .throwOnIsRegistered = true});
    EXPECT_THROW(module->checkAndStartServer(), Poco::Exception);
    EXPECT_THAT(fake.services.opened(), ElementsAre("MySqlqvms80", "DUZI"));
    EXPECT_THAT(table(), ElementsAre(std::pair<std::string, int32_t>{"MySqlqvms80", 0}));

    // A start that cannot be launched leaves the stopped service's entry.
    fake.services.clearOpened();
    fake.services.setStopped("MySqlqvms80");
    fake.processes.throwOnLaunch();
    EXPECT_THROW(module->checkAndStartServer(), Poco::Exception);
    EXPECT_THAT(fake.services.opened(), ElementsAre("MySqlqvms80"));
    EXPECT_THAT(table(), ElementsAre(std::pair<std::string, int32_t>{"MySqlqvms80", 1}));
}

} // namespace
