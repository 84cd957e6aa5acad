#include "ZutilTestSupport.h"
#include "ZvLog.h"

#include <Poco/Logger.h>
#include <gtest/gtest.h>

#include <regex>

using namespace zutiltest;

// Each case points the config lookup at its own folder. Loggers are process
// wide, so every case sets up logging itself rather than relying on order.
class zutil_Log : public ::testing::Test
{
protected:
    void writeConfig(const std::string& logChildren)
    {
        writeFile(m_dir / "Watchdog.xml", logConfig(logChildren));
    }

    TempDir m_dir;
    ScopedEnv m_env{"ZELVIN_CONFIG_DIR", m_dir.path().string()};
};

TEST_F(zutil_Log, WritesFormattedLinesFromExistingLoggersToTheConfiguredFolder)
{
    Poco::Logger& early = Poco::Logger::get("WTD"); // exists before set-up, like the application's
    writeConfig("<Dir value=\"logs/here\"/><Level value=\"warning\"/>");

    ASSERT_EQ(0, ZV_InitLog("Watchdog.xml", 1, 1, "", ""));
    EXPECT_EQ(m_dir / "logs/here", ZV_GetLogDir());
    early.information("dropped below warning");
    early.warning("kept");
    Poco::Logger::get("LaterLogger").error("also kept");

    const std::string text = readFile(m_dir / "logs/here/Watchdog.log");
    EXPECT_EQ(std::string::npos, text.find("dropped"));
    const std::regex lines(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[Warning\] WTD: kept\n)"
                           R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[Error\] LaterLogger: also kept\n)");
    EXPECT_TRUE(std::regex_match(text, lines)) << text;
}

TEST_F(zutil_Log, OverridesReplaceFolderAndStemAndASecondCallTakesOver)
{
    writeConfig("<Level value=\"no-such-level\"/>");
    ASSERT_EQ(0, ZV_InitLog("Watchdog.xml", 2, 0, m_dir / "first", "Custom"));
    Poco::Logger::get("WTD").information("one");

    ASSERT_EQ(0, ZV_InitLog("Watchdog.xml", 1, 1, m_dir / "second", ""));
    Poco::Logger::get("WTD").information("two");

    const std::string first = readFile(m_dir / "first/Custom.log");
    EXPECT_NE(std::string::npos, first.find("unknown log level \"no-such-level\"")) << first;
    EXPECT_NE(std::string::npos, first.find("WTD: one"));
    EXPECT_EQ(std::string::npos, first.find("WTD: two"));
    EXPECT_NE(std::string::npos, readFile(m_dir / "second/Watchdog.log").find("WTD: two"));
}

TEST_F(zutil_Log, UnreadableConfigFallsBackToConsoleWithoutThrowing)
{
    writeFile(m_dir / "Watchdog.xml", "<config><Log>");
    EXPECT_EQ(-1, ZV_InitLog("Watchdog.xml", 1, 1, "", ""));
    EXPECT_EQ("", ZV_GetLogDir());
    EXPECT_EQ(-1, ZV_InitLog(nullptr, 1, 1, "", ""));
    EXPECT_EQ(Poco::Message::PRIO_INFORMATION, Poco::Logger::get("WTD").getLevel());
}

TEST_F(zutil_Log, LevelChangeInTheFileReachesEveryLoggerWhileRunning)
{
    writeConfig("<Level value=\"information\"/>");
    ASSERT_EQ(0, ZV_InitLog("Watchdog.xml", 1, 1, "", ""));
    ASSERT_EQ(0, ZV_WatchLogLevelChanged());
    ASSERT_EQ(0, ZV_WatchLogLevelChanged());

    writeConfig("<Level value=\"debug\"/>");
    EXPECT_TRUE(waitUntil([] { return Poco::Logger::get("WTD").getLevel() == Poco::Message::PRIO_DEBUG; }));

    writeConfig("<Level value=\"error\"/>");
    EXPECT_TRUE(waitUntil([] { return Poco::Logger::root().getLevel() == Poco::Message::PRIO_ERROR; }));
}
