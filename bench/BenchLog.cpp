#include "BenchLog.h"

#include "ZvLog.h"

#include <Poco/AutoPtr.h>
#include <Poco/Logger.h>
#include <Poco/NullChannel.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
// The configuration folder of this run, made on first use.
class TempConfig
{
public:
    TempConfig()
    {
        m_dir = fs::temp_directory_path() / ("watchdog-bench-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
        std::ofstream(m_dir / "Watchdog.xml") << "<?xml version=\"1.0\"?>\n"
                                                 "<config><Log><Type value=\"1\"/>"
                                                 "<Level value=\"information\"/><Dir value=\"log\"/>"
                                                 "</Log></config>\n";
        ::setenv("ZELVIN_CONFIG_DIR", m_dir.c_str(), 1);
    }
    ~TempConfig()
    {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

private:
    fs::path m_dir;
};
} // namespace

namespace BenchLog
{
void use(Sink sink)
{
    if (sink == SINK_NULL)
    {
        Poco::AutoPtr<Poco::NullChannel> pNull(new Poco::NullChannel);
        Poco::Logger::root().setChannel(pNull);
        Poco::Logger::setChannel("", pNull);
        Poco::Logger::setLevel("", Poco::Message::PRIO_INFORMATION);
        return;
    }
    static TempConfig config;
    if (ZV_InitLog("Watchdog.xml", 1, sink == SINK_FILE_FLUSH ? 1 : 0, "", "") != 0)
        throw std::runtime_error("ZV_InitLog could not set up the file channel");
}

const char* name(Sink sink)
{
    switch (sink)
    {
    case SINK_NULL:
        return "null";
    case SINK_FILE_FLUSH:
        return "file_flush";
    default:
        return "file";
    }
}
} // namespace BenchLog
