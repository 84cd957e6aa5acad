// Stopping and starting through the "net" command, and the start-up check of
// the dependent services with the service status query.
#include "WatchdogTestSupport.h"

#include <Poco/Exception.h>
#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace
{

using Lines = std::vector<std::string>;

class ProcessControlTest : public ModuleTest
{
protected:
    static WatchProcess process(uint32_t pid) { return {"app.exe", "App Svc", "", pid}; }

    // The status table as "name=status ...", in name order.
    std::string table() const
    {
        std::string text;
        for (const auto& [name, status] : module->serverStatuses())
            text += (text.empty() ? "" : " ") + name + "=" + std::to_string(status);
        return text;
    }
};

TEST_F(ProcessControlTest, KillStopsTheServiceAndReportsAProcessStillAlive)
{
    fake.processes.setRunning(42, true);
    EXPECT_EQ(module->killProcess(process(42)), 0);
    EXPECT_EQ(module->killProcess(process(43)), 0);

    EXPECT_EQ(fake.processes.commandLines(), (Lines{"net stop App Svc", "net stop App Svc"}));
    EXPECT_EQ(fake.processes.launches()[0].args, (Lines{"stop", "App Svc"}));
    EXPECT_THAT(fake.processes.pidsAsked(), ElementsAre(42, 43));
    ASSERT_THAT(logs->messages(),
                ElementsAre("kill process[app.exe]", "the killed process[app.exe] is still running!\n",
                            "kill process[app.exe]"));
    EXPECT_EQ(logs->records()[0].priority, PRIO_INFO);
    expectOne(logs.channel(), "killProcess", "the killed process[app.exe] is still running!\n", PRIO_ERROR);

    fake.processes.throwOnLaunch();
    EXPECT_THROW(module->killProcess(process(42)), Poco::Exception);
}

TEST_F(ProcessControlTest, LaunchSucceedsOnlyWhileTheCommandStillRuns)
{
    EXPECT_EQ(module->launchProcess(process(42)), 0);
    const auto launches = fake.processes.launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].command, "net");
    EXPECT_EQ(launches[0].args, (Lines{"start", "App Svc"}));
    EXPECT_THAT(fake.processes.pidsAsked(),
                ElementsAre(launches[0].pid)); // the command's, not the watched one
    EXPECT_THAT(logs->messages(), ElementsAre("launch process[App Svc]", "launch process[App Svc] Success"));
    for (const CapturedRecord& record : logs->records())
        EXPECT_EQ(record.priority, PRIO_INFO);

    logs->clear();
    fake.processes.setLaunchedRunning(false);
    EXPECT_EQ(module->launchProcess(process(42)), -12);
    EXPECT_THAT(logs->messages(), ElementsAre("launch process[App Svc]", "net start app[App Svc] fail!"));
    expectOne(logs.channel(), "launchProcess", "net start app[App Svc] fail!", PRIO_ERROR);

    logs->clear();
    fake.processes.throwOnLaunch();
    EXPECT_EQ(module->launchProcess(process(42)), -12);
    EXPECT_THAT(logs->messages(), ElementsAre("launch process[App Svc]", "Launch process[iau] Exception!"));
    expectOne(logs.channel(), "launchProcess", "Launch process[iau] Exception!", PRIO_INFO);
}

// Each service's state goes into the table; only a stopped one is started,
// the others are logged by the start-up check. An unregistered service is
// not asked whether it runs (here that query would throw).
TEST_F(ProcessControlTest, StartUpCheckStartsOnlyAStoppedServiceAndKeepsEveryState)
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
    EXPECT_EQ(table(), "DUZI=2 MySqlqvms80=2 VADA=2");
    EXPECT_TRUE(fake.processes.launches().empty());

    logs->clear();
    fake.services.setStopped("MySqlqvms80");
    fake.services.setRunning("DUZI");
    fake.services.set("VADA", {.registered = true, .running = true, .throwOnIsRunning = true});
    EXPECT_EQ(module->checkAndStartServer(), 0);
    EXPECT_EQ(fake.processes.commandLines(), (Lines{"net start MySqlqvms80"}));
    EXPECT_THAT(logs->messages(), ElementsAre("Process[DUZI] is running!", "Process[VADA] is exception!"));
    EXPECT_EQ(table(), "DUZI=0 MySqlqvms80=1 VADA=3");

    // A failed query or start ends the walk. The table is emptied first, so
    // the failing service and those after it have no entry; a start that
    // cannot be launched leaves the stopped service's entry.
    fake.services.set("MySqlqvms80", {.registered = true, .running = true});
    fake.services.set("DUZI", {.registered = true, .throwOnIsRegistered = true});
    fake.services.clearOpened();
    EXPECT_THROW(module->checkAndStartServer(), Poco::Exception);
    EXPECT_THAT(fake.services.opened(), ElementsAre("MySqlqvms80", "DUZI"));
    EXPECT_EQ(table(), "MySqlqvms80=0");

    fake.services.setStopped("MySqlqvms80");
    fake.services.clearOpened();
    fake.processes.throwOnLaunch();
    EXPECT_THROW(module->checkAndStartServer(), Poco::Exception);
    EXPECT_THAT(fake.services.opened(), ElementsAre("MySqlqvms80"));
    EXPECT_EQ(table(), "MySqlqvms80=1");
}

} // namespace
