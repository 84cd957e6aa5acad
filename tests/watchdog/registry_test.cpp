// The registry's message handlers, called directly on a module that is not
// started.
#include "WatchdogTestSupport.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace
{

bool sameRecord(const WatchProcess& a, const WatchProcess& b)
{
    return a.processName == b.processName && a.serviceName == b.serviceName && a.extraInfo == b.extraInfo &&
           a.processId == b.processId && a.timeoutMs == b.timeoutMs && a.lastFeedMs == b.lastFeedMs &&
           a.restartCount == b.restartCount && a.graceCount == b.graceCount && a.watchState == b.watchState;
}

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

TEST_F(RegistryTest, KeysAreWholeTextsComparedAsUnsignedBytes)
{
    registerMsg(makeMsg("proc"));
    registerMsg(makeMsg("Proc"));
    registerMsg(makeMsg(""));
    registerMsg(makeMsg("z"));
    registerMsg(makeMsg("\xC3\xA9t\xC3\xA9"));
    registerMsg(makeMsg("pro"));

    std::vector<std::string> keys;
    for (const auto& [key, process] : module->watchProcesses())
    {
        keys.push_back(key);
        EXPECT_EQ(process.processName, key);
    }
    EXPECT_THAT(keys, ElementsAre("", "Proc", "pro", "proc", "z", "\xC3\xA9t\xC3\xA9"));

    // The empty name is an ordinary key for feed and cancel too.
    fake.clock.advance(1);
    feed("");
    EXPECT_EQ(record("").lastFeedMs, nowMs());
    expectOne(logs.channel(), "feedWatchdog", "feed process[]!\n", PRIO_INFO);
    cancel("");
    EXPECT_FALSE(has(""));
    expectOne(logs.channel(), "cancelWatchdog", "cancel process[]!\n", PRIO_INFO);
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

TEST_F(RegistryTest, FeedTouchesOnlyKnownRecordsAndOnlyTheirLastFeed)
{
    EXPECT_EQ(feed("ghost"), 0);
    EXPECT_TRUE(module->watchProcesses().empty());
    expectOne(logs.channel(), "feedWatchdog", "feed process[ghost] is not existed!\n", PRIO_INFO);

    registerMsg(makeMsg("app.exe", "AppSvc", 11, 5000));
    WatchProcess expected = record("app.exe");
    fake.clock.advance(2);
    EXPECT_EQ(feed("app.exe"), 0);
    expected.lastFeedMs = nowMs();
    EXPECT_TRUE(sameRecord(record("app.exe"), expected));
    expectOne(logs.channel(), "feedWatchdog", "feed process[app.exe]!\n", PRIO_INFO);
}

TEST_F(RegistryTest, CancelThenRegisterGivesFreshRecord)
{
    EXPECT_EQ(cancel("ghost"), 0);
    expectOne(logs.channel(), "cancelWatchdog", "cancel process[ghost] is not existed!\n", PRIO_INFO);

    fake.services.setRunning("AppSvc");
    registerMsg(makeMsg("app.exe", "AppSvc", 11, 0));
    cycles(2);
    ASSERT_EQ(record("app.exe").restartCount, 1u);
    ASSERT_EQ(record("app.exe").graceCount, 1);

    EXPECT_EQ(cancel("app.exe"), 0);
    EXPECT_FALSE(has("app.exe"));
    expectOne(logs.channel(), "cancelWatchdog", "cancel process[app.exe]!\n", PRIO_INFO);

    registerMsg(makeMsg("app.exe", "AppSvc", 22, 5000));
    EXPECT_EQ(record("app.exe").restartCount, 0u);
    EXPECT_EQ(record("app.exe").graceCount, 0);
    EXPECT_EQ(record("app.exe").watchState, WatchState::Registered);
    EXPECT_EQ(record("app.exe").processId, 22u);
}

TEST_F(RegistryTest, AbsentBodyIsRejectedWithItsHandlersPriority)
{
    registerMsg(makeMsg("app.exe"));
    logs->clear();
    EXPECT_EQ(module->registerWatchdog(nullptr), -4);
    EXPECT_EQ(module->cancelWatchdog(nullptr), -4);
    EXPECT_EQ(module->feedWatchdog(nullptr), -4);
    EXPECT_EQ(module->watchProcesses().size(), 1u);

    const CapturingChannel::Records records = logs->records();
    ASSERT_EQ(records.size(), 3u);
    const std::pair<const char*, Poco::Message::Priority> expected[] = {
        {"WatchdogServerModule::registerWatchdog", PRIO_ERROR},
        {"WatchdogServerModule::cancelWatchdog", PRIO_ERROR},
        {"WatchdogServerModule::feedWatchdog", PRIO_INFO}};
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(records[i].message, "watchdog msg is null!\n");
        EXPECT_EQ(records[i].function, expected[i].first);
        EXPECT_EQ(records[i].priority, expected[i].second);
    }
}

TEST_F(RegistryTest, RemoveSameServiceKeepsNamedRecordAndOtherServices)
{
    registerMsg(makeMsg("a", "svc"));
    registerMsg(makeMsg("b", "svc"));
    registerMsg(makeMsg("c", "svc2"));
    registerMsg(makeMsg("d", "svc"));
    registerMsg(makeMsg("e", "SVC"));
    registerMsg(makeMsg("f", "svc "));

    EXPECT_EQ(module->removeSameServiceProcess("svc", "b"), 0);
    std::vector<std::string> keys;
    for (const auto& entry : module->watchProcesses())
        keys.push_back(entry.first);
    EXPECT_THAT(keys, ElementsAre("b", "c", "e", "f"));

    EXPECT_EQ(module->removeSameServiceProcess("svc2", "c"), 0);
    EXPECT_EQ(module->watchProcesses().size(), 4u);
}

TEST_F(RegistryTest, ExpiryIsRightAcrossTheMillisecondWrap)
{
    // 4294967 s is the last whole second whose milliseconds fit in 32 bits.
    fake.clock.set(4294967);
    fake.services.setRunning("svc");
    registerMsg(makeMsg("app.exe", "svc", 11, 2000));
    EXPECT_EQ(record("app.exe").lastFeedMs, 4294967000u);

    fake.clock.advance(1); // now wraps to 704
    cycles(1);
    EXPECT_TRUE(fake.processes.launches().empty());

    fake.clock.advance(1);
    cycles(1);
    EXPECT_EQ(fake.processes.commandLines(), (std::vector<std::string>{"net stop svc", "net start svc"}));
    EXPECT_EQ(record("app.exe").lastFeedMs, 1704u);
}

} // namespace
