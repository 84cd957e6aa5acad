#include "ZvLog.h"
#include "fakes/TestSupport.h"

#include <Poco/Logger.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

using namespace testsupport;
namespace fs = std::filesystem;

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
    writeConfig("<Level value=\"no-such-level\"/><Keep value=\"0\"/>");
    ASSERT_EQ(0, ZV_InitLog("Watchdog.xml", 2, 0, m_dir / "first", "Custom"));
    Poco::Logger::get("WTD").information("one");

    ASSERT_EQ(0, ZV_InitLog("Watchdog.xml", 1, 1, m_dir / "second", ""));
    Poco::Logger::get("WTD").information("two");

    const std::string first = readFile(m_dir / "first/Custom.log");
    EXPECT_NE(std::string::npos, first.find("unknown log level \"no-such-level\"")) << first;
    EXPECT_NE(std::string::npos, first.find("invalid Log.Keep \"0\", using 10")) << first;
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

// A log file that cannot be written (here: /dev/full, "No space left on
// device") never throws into the caller: records are dropped and counted,
// standard error gets one line as soon as the first one is lost, and once the
// file can be opened and written again the count comes first, at error
// priority, on a line of its own even where the outage cut the last one short.
TEST_F(zutil_Log, FailingWritesAreDroppedCountedAndReportedWhenWritingWorksAgain)
{
    const struct
    {
        const char* left; // what the file holds when writing works again; nullptr: no file
        int lost;
        const char* before; // what the file then begins with
    } cases[] = {{nullptr, 4, ""}, {"a whole line\n", 1, "a whole line\n"}, {"half a li", 2, "half a li\n"}};
    writeConfig("");
    const auto escaped = [](const std::string& text)
    { return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"); };
    int row = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(row);
        const fs::path folder = m_dir.path() / std::to_string(row++);
        const fs::path file = folder / "Watchdog.log";
        fs::create_directories(folder);
        fs::create_symlink("/dev/full", file);
        const StderrCapture console((folder / "console.txt").string());
        ASSERT_EQ(0, ZV_InitLog("Watchdog.xml", 1, 1, folder.string(), ""));

        EXPECT_NO_THROW(Poco::Logger::get("WTD").error("lost 0"));
        const std::string stderrText = console.text();
        EXPECT_TRUE(std::regex_match(stderrText, std::regex("ZelvinUtil: cannot write the log file " +
                                                            escaped(file.string()) +
                                                            R"( \(.*No space left on device\).*\n)")))
            << stderrText;
        for (int i = 1; i < c.lost; ++i)
            EXPECT_NO_THROW(Poco::Logger::get("WTD").critical("lost " + std::to_string(i)));
        EXPECT_EQ(stderrText, console.text());

        // The file is opened again by path: the records go to the new file.
        fs::remove(file);
        if (c.left)
            writeFile(file.string(), c.left);
        Poco::Logger::get("WTD").information("written again");
        Poco::Logger::get("WTD").information("and on");
        const std::regex expected(escaped(c.before) + R"(\S+ \S+ \[Error\] ZelvinUtil: )" +
                                  std::to_string(c.lost) + " log records could not be written to " +
                                  escaped(file.string()) +
                                  R"( \(.*No space left on device\)\n)"
                                  R"(\S+ \S+ \[Information\] WTD: written again\n)"
                                  R"(\S+ \S+ \[Information\] WTD: and on\n)");
        const std::string text = readFile(file.string());
        EXPECT_TRUE(std::regex_match(text, expected)) << text;
        EXPECT_EQ(stderrText, console.text());
    }
}
