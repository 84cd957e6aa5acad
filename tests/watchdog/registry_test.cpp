// The registry's message handlers, called directly on a module that is not
// started.
#include "WatchdogTestSupport.h"

namespace
{

using RegistryTest = ModuleTest;

// Texts end at their NUL or at their field's width: a name filling all 64
// bytes is taken whole, without the service name that follows it.
TEST_F(RegistryTest, NewRegistrationTakesEveryFieldAndSecondOneChangesNothing)
{
    WatchdogMsg msg = makeMsg("", "", 11, 5000);
    std::memcpy(msg.processName, "app.exe\0garbage", 15);
    std::memcpy(msg.serviceName, "AppSvc\0junk", 11);
    std::memcpy(msg.extraInfo, "first\0more", 10);
    EXPECT_EQ(registerMsg(msg), 0);
    const WatchProcess first{"app.exe", "AppSvc", "first", 11, 5000, nowMs()};
    EXPECT_EQ(savedFields(record("app.exe")), savedFields(first));
    expectOne(logs.channel(), "registerWatchdog", "register new process[app.exe]\n", PRIO_INFO);

    fake.clock.advance(3);
    EXPECT_EQ(registerMsg(makeMsg("app.exe", "Other", 22, 9000, "second")), 0);
    EXPECT_EQ(savedFields(record("app.exe")), savedFields(first));
    expectOne(logs.channel(), "registerWatchdog", "register process[app.exe] is existed!\n", PRIO_INFO);

    const std::string longName(64, 'n');
    registerMsg(makeMsg(longName, "tail"));
    EXPECT_EQ(record(longName).serviceName, "tail");
}

// A never-expiring record is re-armed by every register, silently: pid,
// timeout and last feed are taken anew, service and extra info kept. Once it
// has a timeout, a further register is an existing registration.
TEST_F(RegistryTest, NeverExpiringRecordIsReArmedSilently)
{
    registerMsg(makeMsg("app.exe", "AppSvc", 11, WATCHDOG_TIMEOUT_NEVER, "first"));
    logs->clear();
    fake.clock.advance(5);
    registerMsg(makeMsg("app.exe", "Other", 22, WATCHDOG_TIMEOUT_NEVER, "second"));
    EXPECT_EQ(savedFields(record("app.exe")),
              savedFields({"app.exe", "AppSvc", "first", 22, WATCHDOG_TIMEOUT_NEVER, nowMs()}));
    fake.clock.advance(5);
    registerMsg(makeMsg("app.exe", "Third", 33, 5000, "third"));
    EXPECT_EQ(savedFields(record("app.exe")), savedFields({"app.exe", "AppSvc", "first", 33, 5000, nowMs()}));
    EXPECT_TRUE(logs->records().empty());

    registerMsg(makeMsg("app.exe", "Fourth", 44, WATCHDOG_TIMEOUT_NEVER));
    EXPECT_EQ(record("app.exe").processId, 33u);
    EXPECT_EQ(logs->find("register process[app.exe] is existed!\n").size(), 1u);
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
    EXPECT_EQ(savedFields(record("app.exe")), savedFields(expected));
    expectOne(logs.channel(), "feedWatchdog", "feed process[app.exe]!\n", PRIO_INFO);

    EXPECT_EQ(cancel("app.exe"), 0);
    EXPECT_FALSE(has("app.exe"));
    expectOne(logs.channel(), "cancelWatchdog", "cancel process[app.exe]!\n", PRIO_INFO);
    registerMsg(makeMsg("app.exe", "AppSvc", 22, 5000));
    EXPECT_EQ(savedFields(record("app.exe")), savedFields({"app.exe", "AppSvc", "extra", 22, 5000, nowMs()}));
}

} // namespace
