// The supervision cycle, driven by calling handleClientProcess directly with
// the fake clock; nothing here sleeps.
#include "WatchdogTestSupport.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <sstream>

using ::testing::ElementsAre;

namespace
{

using Lines = std::vector<std::string>;

class SupervisionTest : public ModuleTest
{
protected:
    SupervisionTest() { fake.services.setRunning("svc"); }

    long launchesOf(const std::string& line) const
    {
        const std::vector<std::string> lines = fake.processes.commandLines();
        return std::count(lines.begin(), lines.end(), line);
    }
};

// Expiry, restart and the grace cycles after a restart, one script per row:
// "@N" sets the clock to second N, "+N" advances it, "r" registers app.exe of
// svc with the row's timeout, "f" feeds it, "." runs one cycle. After each
// cycle the expected "restarts/graceCount": a restart stops and starts svc,
// and the record is then tolerated while expired for four cycles (fed or
// not), restarted by the fifth.
TEST_F(SupervisionTest, ExpiryRestartAndGraceFollowTheClock)
{
    const struct
    {
        uint32_t timeoutMs;
        std::string script;
        std::string expected;
    } cases[] = {
        {0, "r f. f. f. f. f. f. f. f. f. f. f.", "1/0 1/1 1/2 1/3 1/4 2/0 2/1 2/2 2/3 2/4 3/0"},
        {10000, "@100 r @109 . @110 . @119 . . . @120 . . . . .", "0/0 1/0 1/0 1/0 1/0 1/1 1/2 1/3 1/4 2/0"},
        {2000, "r +2 . +2 . . f . +2 . . .", "1/0 1/1 1/2 1/2 1/3 1/4 2/0"},
        // Whole seconds: 1500 ms expires with the second second.
        {1500, "r . +1 . +1 .", "0/0 0/0 1/0"},
        {1000, "r . +1 .", "0/0 1/0"},
        // 4294967 s is the last whole second whose milliseconds fit in 32 bits.
        {2000, "@4294967 r +1 . +1 .", "0/0 1/0"},
        {WATCHDOG_TIMEOUT_NEVER, "r +1 . +1000 . +1000000 . +4294000 . +967 .", "0/0 0/0 0/0 0/0 0/0"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.script);
        module = std::make_unique<WatchdogServerModule>(fake.platform(), "127.0.0.1", 0);
        fake.processes.clear();
        fake.clock.set(1000);
        std::string seen;
        std::istringstream steps(c.script);
        for (std::string step; steps >> step;)
        {
            if (step[0] == '@' || step[0] == '+')
            {
                const uint32_t seconds = static_cast<uint32_t>(std::stoul(step.substr(1)));
                step[0] == '@' ? fake.clock.set(seconds) : fake.clock.advance(seconds);
                continue;
            }
            for (char action : step)
                if (action == 'r')
                    registerMsg(makeMsg("app.exe", "svc", 11, c.timeoutMs));
                else if (action == 'f')
                    feed("app.exe");
                else
                {
                    cycles(1);
                    seen += (seen.empty() ? "" : " ") + std::to_string(launchesOf("net start svc")) + "/" +
                            std::to_string(record("app.exe").graceCount);
                }
        }
        EXPECT_EQ(seen, c.expected);
        EXPECT_EQ(launchesOf("net stop svc"), launchesOf("net start svc"));
    }
}

// A restart removes the other records of the same service; a record whose
// service is unknown is stopped and dropped. Every launch counts as a
// restart, whether the start runs, fails or throws.
TEST_F(SupervisionTest, RestartRemovesOtherRecordsOfTheServiceAndUnknownServicesAreDropped)
{
    fake.services.setRunning("svc2");
    registerMsg(makeMsg("a.exe", "svc", 11, 0));
    registerMsg(makeMsg("b.exe", "svc", 12, 0));
    registerMsg(makeMsg("c.exe", "svc2", 13, WATCHDOG_TIMEOUT_NEVER));
    registerMsg(makeMsg("d.exe", "gone", 14, 0));
    registerMsg(makeMsg("e.exe", "", 15, 0));
    fake.processes.setLaunchedRunning(false);
    cycles(1);
    EXPECT_EQ(module->watchProcesses().size(), 2u);
    EXPECT_TRUE(has("a.exe"));
    EXPECT_TRUE(has("c.exe"));
    EXPECT_THAT(fake.services.opened(), ElementsAre("svc", "gone", ""));
    EXPECT_EQ(fake.processes.commandLines(),
              (Lines{"net stop svc", "net start svc", "net stop gone", "net stop "}));
    EXPECT_EQ(record("a.exe").restartCount, 1u);

    fake.processes.throwOnLaunch("start");
    cycles(5);
    EXPECT_EQ(record("a.exe").restartCount, 2u);
    EXPECT_EQ(module->removeSameServiceProcess("svc2", "other.exe"), 0);
    EXPECT_FALSE(has("c.exe"));
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

// Every status change is one critical record, and counted in the status
// report; a stopped service is started in every cycle unless a record named
// "<service>_DOG", exact suffix, is registered (the report names it).
TEST_F(DependentSweepTest, EveryStatusChangeIsOneCriticalRecordAndOnlyADogRecordSuppressesTheStart)
{
    const auto services = [&]
    {
        std::map<std::string, ServiceStatusEntry> byName;
        for (const ServiceStatusEntry& entry :
             module->statusReport().build(*module, "fake", nowMs(), 0).services)
            byName[entry.name] = entry;
        return byName;
    };
    const int64_t firstQuery = services().at("MySqlqvms80").changedAtMs;
    EXPECT_GT(firstQuery, 0);
    Poco::Thread::sleep(2);
    registerMsg(makeMsg("VADA_DOG", "VADA", 11, WATCHDOG_TIMEOUT_NEVER));
    registerMsg(makeMsg("DUZI_dog", "DUZI", 12, WATCHDOG_TIMEOUT_NEVER));
    fake.services.setStopped("VADA");
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
                                      "VADA Status changed from running to stop!\n",
                                      "DUZI Status changed from stop to running!\n",
                                      "DUZI Status changed from running to exception!\n"));
    EXPECT_EQ(module->serverStatuses().at("DUZI"), SERVER_EXCEPTION);
    // Every cycle that saw it stopped started it, and only those.
    EXPECT_EQ(fake.processes.commandLines(), (Lines(2, "net start DUZI")));
    const CapturingChannel::Records started = logs->find("start DUZI int the loop!\n");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0].priority, PRIO_INFO);
    EXPECT_EQ(started[0].function, "WatchdogServerModule::handleClientProcess");

    const auto report = services();
    EXPECT_EQ(report.at("DUZI").changes, 3u);
    EXPECT_GT(report.at("DUZI").changedAtMs, firstQuery);
    EXPECT_FALSE(report.at("DUZI").suppressedBy);
    EXPECT_EQ(report.at("VADA").changes, 1u);
    EXPECT_EQ(report.at("VADA").suppressedBy, "VADA_DOG");
    EXPECT_EQ(report.at("MySqlqvms80").changes, 0u);
    EXPECT_EQ(report.at("MySqlqvms80").changedAtMs, firstQuery);
}

} // namespace
