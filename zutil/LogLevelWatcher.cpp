#include "LogState.h"
#include "ZvLog.h"

#include <Poco/Logger.h>
#include <Poco/Util/XMLConfiguration.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace
{

// Polls the configuration file's modification time and size and applies a
// changed Log.Level to every logger. Owned by a function-local static created
// on the first ZV_WatchLogLevelChanged, i.e. after ZV_InitLog has made POCO's
// logger registry: so it is destroyed before that registry at exit.
class LogLevelWatcher
{
public:
    LogLevelWatcher() : m_thread(&LogLevelWatcher::run, this) {}

    ~LogLevelWatcher()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
        }
        m_cvStop.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    LogLevelWatcher(const LogLevelWatcher&) = delete;
    LogLevelWatcher& operator=(const LogLevelWatcher&) = delete;

private:
    static constexpr std::chrono::milliseconds POLL_INTERVAL{500};

    void run()
    {
        unsigned generation = 0;
        zvlog::FileStamp last;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_cvStop.wait_for(lock, POLL_INTERVAL, [this] { return m_bStop; }))
        {
            // A new ZV_InitLog (or the first one seen) sets the baseline: the
            // file as it was when that call read it.
            const zvlog::LogState state = zvlog::loadLogState();
            if (state.nGeneration != generation)
            {
                generation = state.nGeneration;
                last = state.stamp;
            }
            if (state.strConfigPath.empty())
                continue;
            const zvlog::FileStamp now = zvlog::stampOf(state.strConfigPath);
            if (now == last)
                continue;
            last = now;
            // Applied while holding m_mutex: the destructor cannot pass its
            // stop flag while a level is being set, and nothing here runs once
            // the flag is up, so static destruction never sees this thread log.
            applyLevelFrom(state.strConfigPath);
        }
    }

    void applyLevelFrom(const std::string& path)
    {
        try
        {
            Poco::AutoPtr<Poco::Util::XMLConfiguration> pConfig(new Poco::Util::XMLConfiguration(path));
            const std::string name = pConfig->getString(zvlog::LEVEL_KEY, "information");
            int level = 0;
            Poco::Logger& logger = Poco::Logger::get("ZelvinUtil");
            if (!zvlog::parseLogLevel(name, level))
            {
                logger.warning("unknown log level \"" + name + "\" in " + path + ", level unchanged");
                return;
            }
            if (level == Poco::Logger::root().getLevel())
                return;
            Poco::Logger::setLevel("", level);
            logger.information("log level changed to " + name);
        }
        catch (...)
        {
            // Typically a half-written file while an editor saves: the next
            // change of its time or size brings another attempt.
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cvStop;
    bool m_bStop = false;
    std::thread m_thread; // last: starts once the members above exist
};

} // namespace

int ZV_WatchLogLevelChanged()
{
    if (zvlog::loadLogState().strConfigPath.empty())
        return -1;
    static LogLevelWatcher watcher;
    return 0;
}
