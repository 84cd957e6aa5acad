#include "LogRecord.h"
#include "fakes/CapturingChannel.h"

#include <Poco/Logger.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

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
    LogCapture capture;
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

// The records about one process or service carry their event's MESSAGE_ID
// (fixed: operators query them) and the name their first own argument holds,
// which the journal output writes as fields; every other record carries none.
TEST(LogRecordTest, EventRecordsCarryTheirFixedMessageIdAndName)
{
    const struct
    {
        const char* fmt;
        const char* id;
        const char* field; // nullptr: none
    } rows[] = {
        {"[%s %?d] register new process[%s]\n", "ff3c1362831f48cfbd7b7013e8bf1f4e", "WD_PROCESS"},
        {"[%s %?d] register process[%s] is existed!\n", "396208d585474a879542052f1d33aa73", "WD_PROCESS"},
        {"[%s %?d] feed process[%s]!\n", "8d7462bffd6942ec91f95d9abedda8ba", "WD_PROCESS"},
        {"[%s %?d] feed process[%s] is not existed!\n", "929bb45db7d0457688ced16ef04aa864", "WD_PROCESS"},
        {"[%s %?d] cancel process[%s]!\n", "b04a2ea7e4cc4915adc3aefc3ef22881", "WD_PROCESS"},
        {"[%s %?d] cancel process[%s] is not existed!\n", "5f7e8aa7bd3640ddbcc77c4d09dc0e88", "WD_PROCESS"},
        {"[%s %?d] kill process[%s]", "d49ea94fcfe749d9a2fbb02528041362", "WD_PROCESS"},
        {"[%s %?d] the killed process[%s] is still running!\n", "dc9f944381d046cf99c9cf6aed8b0e40",
         "WD_PROCESS"},
        {"[%s %?d] launch process[%s]", "9f755bcfa1d24e39a6525d9b78a3082b", "WD_SERVICE"},
        {"[%s %?d] launch process[%s] Success", "b547abe2cc93440d811ff36b357e2be1", "WD_SERVICE"},
        {"[%s %?d] net start app[%s] fail!", "57c9c03ef74e4479b4a031eed87d9da5", "WD_SERVICE"},
        {"[%s %?d] Launch process[%s] Exception!", "57c9c03ef74e4479b4a031eed87d9da5", nullptr},
        {"[%s %?d] %s Status changed from %s to %s!\n", "75d2641267e04e58b25fc7d782e2503d", "WD_SERVICE"},
        {"[%s %?d] start %s int the loop!\n", "e692615ce9894d5a912555b97496cd15", "WD_SERVICE"},
        {"[%s %?d] Process[%s] is running!", "835f76f4deb14a818005819c3da1009b", "WD_SERVICE"},
        {"[%s %?d] Process[%s] is unregistered!", "835f76f4deb14a818005819c3da1009b", "WD_SERVICE"},
        {"[%s %?d] Process[%s] is exception!", "835f76f4deb14a818005819c3da1009b", "WD_SERVICE"},
        {"[%s %?d] server get new client connect!\n", nullptr, nullptr},
    };
    LogCapture capture;
    for (const auto& row : rows)
        LogRecord::format(Poco::Message::PRIO_CRITICAL, "WTD", "A::f", 1, row.fmt, "Svc\n", "stop",
                          "running");

    const CapturingChannel::Records records = capture->records();
    ASSERT_EQ(std::size(rows), records.size());
    for (std::size_t i = 0; i < std::size(rows); ++i)
    {
        const Poco::Message& msg = records[i].original;
        SCOPED_TRACE(rows[i].fmt);
        EXPECT_EQ(Poco::Message::PRIO_CRITICAL, msg.getPriority());
        EXPECT_EQ(rows[i].id ? rows[i].id : "(none)", msg.get("MESSAGE_ID", "(none)"));
        for (const std::string field : {"WD_PROCESS", "WD_SERVICE"})
            EXPECT_EQ(rows[i].field != nullptr && field == rows[i].field ? "Svc\n" : "(none)",
                      msg.get(field, "(none)"))
                << field;
    }
}
