// The status snapshot the module builds: what the records and the service
// table hold, the restarts and changes it counts beside them, and how often
// it is written.
#include "WatchdogTestSupport.h"

namespace
{

class StatusReportTest : public ModuleTest
{
protected:
    StatusReportTest() { fake.services.setRunning("svc"); }

    StatusSnapshot snapshot() { return module->statusReport().build(*module, "fake", nowMs(), 7); }

    static const ProcessStatus& process(const StatusSnapshot& s, const std::string& name)
    {
        for (const ProcessStatus& p : s.processes)
            if (p.name == name)
                return p;
        throw std::runtime_error("no process " + name + " in the snapshot");
    }
};

// The fields copied as they are (names, pid, timeout, the service states)
// are e2e_status's; here what the report computes and counts.
TEST_F(StatusReportTest, FollowsARecordThroughFeedExpiryRestartAndReRegistration)
{
    const int64_t before = StatusReport::wallClockMs();
    registerMsg(makeMsg("app.exe", "svc", 42, 3000));
    registerMsg(makeMsg("never.exe", "other", 43, WATCHDOG_TIMEOUT_NEVER));
    fake.clock.advance(2);
    StatusSnapshot s = snapshot();
    EXPECT_EQ(s.lastPassMs, 7u);
    ASSERT_EQ(s.processes.size(), 2u);
    EXPECT_EQ(s.processes[0].name, "app.exe"); // registry order
    EXPECT_EQ(process(s, "app.exe").lastFeedAgeMs, 2000u);
    EXPECT_FALSE(process(s, "app.exe").restarted);
    feed("app.exe");
    EXPECT_EQ(process(snapshot(), "app.exe").lastFeedAgeMs, 0u);

    fake.clock.advance(3);
    cycles(1); // expired: restarted
    s = snapshot();
    EXPECT_TRUE(process(s, "app.exe").restarted);
    EXPECT_EQ(process(s, "app.exe").restarts, 1u);
    ASSERT_TRUE(process(s, "app.exe").lastRestartAtMs);
    EXPECT_GE(*process(s, "app.exe").lastRestartAtMs, before);
    EXPECT_LE(*process(s, "app.exe").lastRestartAtMs, s.updatedAtMs);

    fake.clock.advance(3);
    cycles(4); // tolerated four times, then restarted again
    EXPECT_EQ(process(snapshot(), "app.exe").graceCount, 4);
    cycles(1);
    EXPECT_EQ(process(snapshot(), "app.exe").restarts, 2u);

    // A new registration counts from nothing.
    cancel("app.exe");
    registerMsg(makeMsg("app.exe", "svc", 44, 3000));
    EXPECT_EQ(process(snapshot(), "app.exe").restarts, 0u);
    EXPECT_FALSE(process(snapshot(), "app.exe").lastRestartAtMs);
}

TEST_F(StatusReportTest, TheWorkerWritesAtOnceThenAtMostOnceASecond)
{
    module->init();
    ASSERT_TRUE(eventually([&] { return fake.status.written().size() >= 2; }));
    const std::vector<StatusSnapshot> written = fake.status.written();
    EXPECT_EQ(written[0].passes, 1u);
    // A second apart, give or take the wall clock's own steps.
    EXPECT_GT(written[1].passes, written[0].passes + 1);
    EXPECT_GE(written[1].updatedAtMs - written[0].updatedAtMs, 990);
    EXPECT_GE(written[0].lastPassMs, 140u); // the 100 ms poll and the 50 ms pause
}

} // namespace
