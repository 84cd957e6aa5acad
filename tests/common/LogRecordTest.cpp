#include "LogRecord.h"
#include "fakes/CapturingChannel.h"

#include <Poco/Logger.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace
{

struct Widget
{
    int act(uint16_t type, const char* name)
    {
        WTD_INFO("[%s %?d] feed process[%s]!\n", name);
        WTD_ERROR("[%s %?d] unknowing watchdog message type %?d", type);
        return 0;
    }
};

} // namespace

TEST(LogRecordTest, QualifiedNameDropsReturnTypeParametersAndTemplates)
{
    using LogRecord::qualifiedName;
    EXPECT_EQ("WatchdogServerModule::registerWatchdog",
              qualifiedName("int WatchdogServerModule::registerWatchdog(const WatchdogMsg*)"));
    EXPECT_EQ("WatchdogServerModule::run", qualifiedName("virtual void WatchdogServerModule::run()"));
    EXPECT_EQ("A::A", qualifiedName("A::A(int)"));
    EXPECT_EQ("ns::B<int, char>::go", qualifiedName("std::map<int, int> ns::B<int, char>::go(int (*)(int))"));
}

TEST(LogRecordTest, RecordCarriesFunctionLineArgumentsPriorityAndLogger)
{
    WtdLogCapture capture;
    Widget().act(256, "example.exe");

    const CapturingChannel::Records records = capture->records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("WTD", records[0].source);
    EXPECT_EQ(Poco::Message::PRIO_INFORMATION, records[0].priority);
    EXPECT_EQ("{anonymous}::Widget::act", records[0].function);
    EXPECT_GT(records[0].line, 0);
    // The trailing newline is part of the text; nothing is stripped or added.
    EXPECT_EQ("feed process[example.exe]!\n", records[0].message);
    EXPECT_EQ(Poco::Message::PRIO_ERROR, records[1].priority);
    EXPECT_EQ("unknowing watchdog message type 256", records[1].message);
    EXPECT_EQ(records[0].line + 1, records[1].line);

    // A plain record is the text as it is: no prefix, no formatting.
    WTD_PLAIN_INFO("Watchdog SERVER initialize ok [%s %?d]");
    ASSERT_EQ(3u, capture->records().size());
    EXPECT_EQ("Watchdog SERVER initialize ok [%s %?d]", capture->records()[2].text);
    EXPECT_EQ(Poco::Message::PRIO_INFORMATION, capture->records()[2].priority);
}
