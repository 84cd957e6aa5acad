// The registry's message handlers, called directly on a module that is not
// started.
#include "WatchdogTestSupport.h"

namespace
{

class RegistryTest : public ModuleTest
{
};

TEST_F(RegistryTest, NewRegistrationTakesEveryFieldAndSecondOneChangesNothing)
{
    EXPECT_EQ(registerMsg(makeMsg("app.exe", "AppSvc", 11, 5000, "first")), 0);
    const WatchProcess first = record("app.exe");
    EXPECT_EQ(first.serviceName, "AppSvc");
    EXPECT_EQ(first.extraInfo, "first");
    EXPECT_EQ(first.processId, 11u);
    EXPECT_EQ(first.timeoutMs, 5000u);
    EXPECT_EQ(first.lastFeedMs, nowMs());
    EXPECT_EQ(first.restartCount, 0u);
    EXPECT_EQ(first.graceCount, 0);
    EXPECT_EQ(first.watchState, WatchState::Registered);
    expectOne(logs.channel(), "registerWatchdog", "register new process[app.exe]\n", PRIO_INFO);

    fake.clock.advance(3);
    EXPECT_EQ(registerMsg(makeMsg("app.exe", "Other", 22, 9000, "second")), 0);
    EXPECT_TRUE(sameRecord(record("app.exe"), first));
    expectOne(logs.channel(), "registerWatchdog", "register process[app.exe] is existed!\n", PRIO_INFO);
}

TEST_F(RegistryTest, NeverExpiringRecordIsReArmedSilently)
{
    registerMsg(makeMsg("app.exe", "AppSvc", 11, WATCHDOG_TIMEOUT_NEVER, "first"));
    logs->clear();

    // Re-armed with another never-timeout: still re-armable afterwards.
    fake.clock.advance(5);
    registerMsg(makeMsg("app.exe", "Other", 22, WATCHDOG_TIMEOUT_NEVER, "second"));
    EXPECT_EQ(record("app.exe").processId, 22u);
    EXPECT_EQ(record("app.exe").lastFeedMs, nowMs());
    EXPECT_EQ(record("app.exe").timeoutMs, WATCHDOG_TIMEOUT_NEVER);

    fake.clock.advance(5);
    registerMsg(makeMsg("app.exe", "Third", 33, 5000, "third"));
    const WatchProcess& armed = record("app.exe");
    EXPECT_EQ(armed.processId, 33u);
    EXPECT_EQ(armed.timeoutMs, 5000u);
    EXPECT_EQ(armed.lastFeedMs, nowMs());
    EXPECT_EQ(armed.watchState, WatchState::Registered);
    EXPECT_EQ(armed.graceCount, 0);
    EXPECT_EQ(armed.restartCount, 0u);
    EXPECT_EQ(armed.serviceName, "AppSvc");
    EXPECT_EQ(armed.extraInfo, "first");
    EXPECT_TRUE(logs->records().empty());

    // Armed now: a further register is an existing registration.
    registerMsg(makeMsg("app.exe", "Fourth", 44, WATCHDOG_TIMEOUT_NEVER));
    EXPECT_EQ(record("app.exe").processId, 33u);
    EXPECT_EQ(logs->find("register process[app.exe] is existed!\n").size(), 1u);
}

TEST_F(RegistryTest, TextFieldsEndAtNulOrFieldWidth)
{
    WatchdogMsg msg = makeMsg("", "");
    std::memcpy(msg.processName, "abc\0garbage", 11);
    std::memcpy(msg.serviceName, "svc\0junk", 8);
    std::memcpy(msg.extraInfo, "info\0more", 9);
    registerMsg(msg);
    ASSERT_TRUE(has("abc"));
    EXPECT_EQ(record("abc").serviceName, "svc");
    EXPECT_EQ(record("abc").extraInfo, "info");

    // A name filling all 64 bytes is taken whole, without the service name
    // that follows it in the body.
    const std::string longName(64, 'n');
    registerMsg(makeMsg(longName, "tail"));
    ASSERT_TRUE(has(longName));
    EXPECT_EQ(record(longName).serviceName, "tail");
}

// Feed and cancel of a name never registered only log; a feed moves only the
// last feed; a cancel drops the whole record, so registering again starts
// afresh even after restarts.
TEST_F(RegistryTest, FeedAndCancelTouchOnlyKnownRecords)
{
    EXPECT_EQ(feed("ghost"), 0);
    EXPECT_EQ(cancel("ghost"), 0);
    EXPECT_TRUE(module->watchProcesses().empty());
    expectOne(logs.channel(), "feedWatchdog", "feed process[ghost] is not existed!\n", PRIO_INFO);
    expectOne(logs.channel(), "cancelWatchdog", "cancel process[ghost] is not existed!\n", PRIO_INFO);

    fake.services.setRunning("AppSvc");
    registerMsg(makeMsg("app.exe", "AppSvc", 11, 0));
    cycles(2);
    WatchProcess expected = record("app.exe");
    ASSERT_EQ(expected.restartCount, 1u);
    ASSERT_EQ(expected.graceCount, 1);
    fake.clock.advance(2);
    EXPECT_EQ(feed("app.exe"), 0);
    expected.lastFeedMs = nowMs();
    EXPECT_TRUE(sameRecord(record("app.exe"), expected));
    expectOne(logs.channel(), "feedWatchdog", "feed process[app.exe]!\n", PRIO_INFO);

    EXPECT_EQ(cancel("app.exe"), 0);
    EXPECT_FALSE(has("app.exe"));
    expectOne(logs.channel(), "cancelWatchdog", "cancel process[app.exe]!\n", PRIO_INFO);
    registerMsg(makeMsg("app.exe", "AppSvc", 22, 5000));
    EXPECT_EQ(record("app.exe").restartCount, 0u);
    EXPECT_EQ(record("app.exe").graceCount, 0);
    EXPECT_EQ(record("app.exe").watchState, WatchState::Registered);
}

} // namespace
