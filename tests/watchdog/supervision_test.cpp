// The supervision cycle, driven by calling handleClientProcess directly with
// the fake clock; nothing here sleeps.
#include "WatchdogTestSupport.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace
{

using Lines = std::vector<std::string>;

class SupervisionTest : public ModuleTest
{
protected:
    SupervisionTest() { fake.services.setRunning("svc"); }

    std::size_t launchesOf(const std::string& line) const
    {
        std::size_t count = 0;
        for (const std::string& each : fake.processes.commandLines())
            count += each == line ? 1 : 0;
        return count;
    }
};

TEST_F(SupervisionTest, ZeroTimeoutRestartsFirstCycleThenEveryFifthEvenWhileFed)
{
    registerMsg(makeMsg("app.exe", "svc", 11, 0));
    std::vector<std::size_t> startsAfterCycle;
    for (int cycle = 1; cycle <= 11; ++cycle)
    {
        feed("app.exe");
        cycles(1);
        startsAfterCycle.push_back(launchesOf("net start svc"));
    }
    EXPECT_THAT(startsAfterCycle, ElementsAre(1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3));
    EXPECT_EQ(launchesOf("net stop svc"), 3u);
    EXPECT_EQ(record("app.exe").restartCount, 3u);
}

TEST_F(SupervisionTest, TimeoutsAreMeasuredInWholeSeconds)
{
    fake.services.setRunning("svc2");
    registerMsg(makeMsg("one.exe", "svc", 11, 1000));
    registerMsg(makeMsg("onehalf.exe", "svc2", 12, 1500));
    cycles(1);
    EXPECT_TRUE(fake.processes.launches().empty());

    fake.clock.advance(1);
    cycles(1);
    EXPECT_EQ(fake.processes.commandLines(), (Lines{"net stop svc", "net start svc"}));

    fake.clock.advance(1);
    cycles(1);
    EXPECT_EQ(fake.processes.commandLines(),
              (Lines{"net stop svc", "net start svc", "net stop svc2", "net start svc2"}));
}

TEST_F(SupervisionTest, NeverTimeoutIsNeverRestarted)
{
    registerMsg(makeMsg("app.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER));
    for (uint32_t step : {1u, 1000u, 1000000u, 4294000u, 967u})
    {
        fake.clock.advance(step);
        cycles(1);
    }
    EXPECT_TRUE(fake.processes.launches().empty());
    EXPECT_EQ(record("app.exe").watchState, WatchState::Registered);
}

// A feed at second 100 with a 10 s timeout: restarted by the cycle reading
// second 110; never fed again, tolerated four times from second 120 on, and
// restarted by the fifth.
TEST_F(SupervisionTest, RestartThenFourToleratedCyclesThenRestart)
{
    fake.clock.set(100);
    registerMsg(makeMsg("app.exe", "svc", 11, 10000));
    fake.clock.set(109);
    cycles(1);
    EXPECT_TRUE(fake.processes.launches().empty());

    fake.clock.set(110);
    cycles(1);
    EXPECT_EQ(fake.processes.commandLines(), (Lines{"net stop svc", "net start svc"}));
    EXPECT_THAT(logs->messages(), ElementsAre("register new process[app.exe]\n", "kill process[app.exe]",
                                              "launch process[svc]", "launch process[svc] Success"));
    EXPECT_EQ(record("app.exe").watchState, WatchState::Restarted);
    EXPECT_EQ(record("app.exe").lastFeedMs, 110000u);
    EXPECT_EQ(record("app.exe").restartCount, 1u);

    fake.clock.set(119);
    cycles(3);
    EXPECT_EQ(record("app.exe").graceCount, 0);

    fake.clock.set(120);
    for (int tolerated = 1; tolerated <= 4; ++tolerated)
    {
        cycles(1);
        EXPECT_EQ(record("app.exe").graceCount, tolerated);
    }
    EXPECT_EQ(fake.processes.launches().size(), 2u);
    cycles(1);
    EXPECT_EQ(fake.processes.launches().size(), 4u);
    EXPECT_EQ(record("app.exe").graceCount, 0);
    EXPECT_EQ(record("app.exe").lastFeedMs, 120000u);
    EXPECT_EQ(record("app.exe").restartCount, 2u);
}

TEST_F(SupervisionTest, FeedingDoesNotResetToleratedCycles)
{
    registerMsg(makeMsg("app.exe", "svc", 11, 2000));
    fake.clock.advance(2);
    cycles(1); // restart
    fake.clock.advance(2);
    cycles(2);
    ASSERT_EQ(record("app.exe").graceCount, 2);

    feed("app.exe");
    EXPECT_EQ(record("app.exe").graceCount, 2);
    EXPECT_EQ(record("app.exe").watchState, WatchState::Restarted);
    cycles(1); // fed: not expired
    fake.clock.advance(2);
    cycles(2); // tolerated as the third and fourth
    EXPECT_EQ(launchesOf("net start svc"), 1u);
    cycles(1);
    EXPECT_EQ(launchesOf("net start svc"), 2u);
}

TEST_F(SupervisionTest, RestartRemovesOtherRecordsOfTheSameService)
{
    fake.services.setRunning("svc2");
    registerMsg(makeMsg("a.exe", "svc", 11, 0));
    registerMsg(makeMsg("b.exe", "svc", 12, 0));
    registerMsg(makeMsg("c.exe", "svc2", 13, WATCHDOG_TIMEOUT_NEVER));
    cycles(1);
    EXPECT_TRUE(has("a.exe"));
    EXPECT_FALSE(has("b.exe"));
    EXPECT_TRUE(has("c.exe"));
    EXPECT_EQ(fake.processes.commandLines(), (Lines{"net stop svc", "net start svc"}));
}

TEST_F(SupervisionTest, RecordOfUnknownServiceIsDroppedAfterItsStop)
{
    registerMsg(makeMsg("a.exe", "gone", 11, 0));
    registerMsg(makeMsg("b.exe", "", 12, 0));
    registerMsg(makeMsg("c.exe", "svc", 13, 60000));
    cycles(1);
    EXPECT_FALSE(has("a.exe"));
    EXPECT_FALSE(has("b.exe"));
    EXPECT_TRUE(has("c.exe"));
    const auto launches = fake.processes.launches();
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0].args, (Lines{"stop", "gone"}));
    EXPECT_EQ(launches[1].args, (Lines{"stop", ""}));
    EXPECT_THAT(logs->messages(), testing::IsSupersetOf({"kill process[a.exe]", "kill process[b.exe]"}));
    EXPECT_THAT(fake.services.opened(), ElementsAre("gone", ""));
}

TEST_F(SupervisionTest, RestartedRecordIgnoresReRegistrationAndKillTestsOldPid)
{
    registerMsg(makeMsg("app.exe", "svc", 11, 0));
    cycles(1);
    registerMsg(makeMsg("app.exe", "svc", 99, 5000));
    EXPECT_EQ(record("app.exe").watchState, WatchState::Restarted);
    EXPECT_EQ(record("app.exe").processId, 11u);
    EXPECT_EQ(record("app.exe").timeoutMs, 0u);
    EXPECT_EQ(logs->find("register process[app.exe] is existed!\n").size(), 1u);

    cycles(5); // the next restart still stops and tests process 11
    const std::vector<int> asked = fake.processes.pidsAsked();
    ASSERT_EQ(asked.size(), 4u); // kill and launch of each restart
    EXPECT_EQ(asked[0], 11);
    EXPECT_EQ(asked[2], 11);
}

TEST_F(SupervisionTest, RestartCountCountsLaunchesWhateverTheirOutcome)
{
    registerMsg(makeMsg("app.exe", "svc", 11, 0));
    fake.processes.setLaunchedRunning(false);
    cycles(1);
    EXPECT_EQ(record("app.exe").restartCount, 1u);
    expectOne(logs.channel(), "launchProcess", "net start app[svc] fail!", PRIO_ERROR);

    fake.processes.throwOnLaunch("start");
    cycles(5);
    EXPECT_EQ(record("app.exe").restartCount, 2u);
    expectOne(logs.channel(), "launchProcess", "Launch process[iau] Exception!", PRIO_INFO);
}

// Dependent services: the table is filled by checkAndStartServer first.
class DependentSweepTest : public SupervisionTest
{
protected:
    DependentSweepTest()
    {
        for (const char* name : {"MySqlqvms80", "DUZI", "VADA"})
            fake.services.setRunning(name);
        module->checkAndStartServer();
        logs->clear();
    }
};

TEST_F(DependentSweepTest, EveryStatusChangeIsOneCriticalRecord)
{
    fake.services.setStopped("DUZI");
    cycles(2);
    fake.services.setRunning("DUZI");
    cycles(2);
    fake.services.set("DUZI", {.registered = true, .running = true, .throwOnIsRunning = true});
    cycles(1);

    std::vector<std::string> critical;
    for (const CapturedRecord& record : logs->records())
        if (record.priority == PRIO_CRITICAL)
        {
            EXPECT_EQ(record.function, "WatchdogServerModule::handleClientProcess");
            critical.push_back(record.message);
        }
    EXPECT_THAT(critical, ElementsAre("DUZI Status changed from running to stop!\n",
                                      "DUZI Status changed from stop to running!\n",
                                      "DUZI Status changed from running to exception!\n"));
    EXPECT_EQ(module->serverStatuses().at("DUZI"), SERVER_EXCEPTION);
    // Only the two cycles that saw it stopped started it.
    EXPECT_EQ(fake.processes.commandLines(), (Lines(2, "net start DUZI")));
}

TEST_F(DependentSweepTest, StoppedServiceIsStartedInEveryCycle)
{
    fake.services.setStopped("VADA");
    cycles(3);
    EXPECT_EQ(fake.processes.commandLines(), (Lines(3, "net start VADA")));
    const CapturingChannel::Records started = logs->find("start VADA int the loop!\n");
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(started[0].priority, PRIO_INFO);
    EXPECT_EQ(started[0].function, "WatchdogServerModule::handleClientProcess");
}

TEST_F(DependentSweepTest, DogRecordSuppressesTheStartOnlyWithExactSuffix)
{
    fake.services.setStopped("VADA");
    fake.services.setStopped("DUZI");
    registerMsg(makeMsg("VADA_DOG", "VADA", 11, WATCHDOG_TIMEOUT_NEVER));
    registerMsg(makeMsg("DUZI_dog", "DUZI", 12, WATCHDOG_TIMEOUT_NEVER));
    cycles(2);
    EXPECT_EQ(fake.processes.commandLines(), (Lines{"net start DUZI", "net start DUZI"}));
    EXPECT_TRUE(logs->find("start VADA int the loop!\n").empty());
    EXPECT_EQ(logs->find("VADA Status changed from running to stop!\n").size(), 1u);
}

TEST_F(DependentSweepTest, SweepRunsInKeyOrder)
{
    for (const char* name : {"MySqlqvms80", "DUZI", "VADA"})
        fake.services.setStopped(name);
    fake.services.clearOpened();
    cycles(1);
    EXPECT_THAT(fake.services.opened(), ElementsAre("DUZI", "MySqlqvms80", "VADA"));
    EXPECT_EQ(fake.processes.commandLines(),
              (Lines{"net start DUZI", "net start MySqlqvms80", "net start VADA"}));
}

} // namespace
