#include "LogState.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/String.h>

#include "System.h"
#include "ZvLog.h"

#include <mutex>

namespace zvlog
{

namespace
{

std::mutex& stateMutex()
{
    static std::mutex mutex;
    return mutex;
}

LogState& state()
{
    static LogState current;
    return current;
}

} // namespace

FileStamp stampOf(const std::string& path)
{
    FileStamp stamp;
    std::error_code ec;
    stamp.tmModified = std::filesystem::last_write_time(path, ec);
    if (ec)
        return FileStamp{};
    stamp.nSize = std::filesystem::file_size(path, ec);
    return ec ? FileStamp{} : stamp;
}

void storeLogState(const LogState& newState)
{
    std::lock_guard<std::mutex> lock(stateMutex());
    const unsigned generation = state().nGeneration + 1;
    state() = newState;
    state().nGeneration = generation;
}

LogState loadLogState()
{
    std::lock_guard<std::mutex> lock(stateMutex());
    return state();
}

bool parseLogLevel(const std::string& name, int& level)
{
    try
    {
        level = Poco::Logger::parseLevel(Poco::trim(name));
        return true;
    }
    catch (const Poco::Exception&)
    {
        return false;
    }
}

std::string crashReportFolder()
{
    namespace fs = std::filesystem;
    const std::string logDir = ZV_GetLogDir();
    const fs::path base =
        logDir.empty() ? fs::path(System::getExecutableDir()) / ".." / "log" : fs::path(logDir);
    return (base / "crash").lexically_normal().string();
}

} // namespace zvlog
