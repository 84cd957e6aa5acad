#include "StatusFiles.h"

#include "LogRecord.h"
#include "StatusFormat.h"
#include "WatchdogFolders.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Path.h>

#include <filesystem>

StatusFiles::StatusFiles(std::optional<std::string> runtimeDir, std::optional<std::string> metricsDir)
{
    m_runtime.folder = std::move(runtimeDir);
    m_runtime.createFolder = true;
    m_metrics.folder = std::move(metricsDir);
}

std::unique_ptr<StatusFiles> StatusFiles::fromEnvironment()
{
    std::optional<std::string> runtime;
    try
    {
        runtime = runtimeFolder();
    }
    catch (const Poco::Exception& exc)
    {
        DIAG_ERROR("[%s %?d] no status snapshot: %s", exc.message());
    }
    std::optional<std::string> metrics;
    const std::string metricsDir = Poco::Environment::get("ZELVIN_METRICS_DIR", "");
    if (!metricsDir.empty())
        metrics = metricsDir;
    return std::make_unique<StatusFiles>(std::move(runtime), std::move(metrics));
}

void StatusFiles::write(const StatusSnapshot& snapshot)
{
    if (m_runtime.folder)
        replace(m_runtime, STATUS_FILE, StatusFormat::json(snapshot));
    if (m_metrics.folder)
        replace(m_metrics, METRICS_FILE, StatusFormat::metrics(snapshot));
}

void StatusFiles::replace(Target& target, const char* name, const std::string& content)
{
    const std::string folder = *target.folder;
    const std::string path = Poco::Path(Poco::Path::forDirectory(folder), name).toString();
    const std::string temporary =
        Poco::Path(Poco::Path::forDirectory(folder), "." + std::string(name) + ".tmp").toString();
    std::string error;
    try
    {
        if (target.createFolder)
            Poco::File(folder).createDirectories();
        {
            Poco::FileOutputStream out(temporary, std::ios::out | std::ios::trunc | std::ios::binary);
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
            out.close();
            if (!out.good())
                throw Poco::WriteFileException(temporary);
        }
        using std::filesystem::perms;
        std::filesystem::permissions(temporary, perms::owner_read | perms::owner_write | perms::group_read |
                                                    perms::others_read);
        Poco::File(temporary).renameTo(path);
    }
    catch (const Poco::Exception& exc)
    {
        error = exc.displayText();
    }
    catch (const std::exception& exc)
    {
        error = exc.what();
    }
    if (error.empty())
    {
        target.lastError.clear();
        return;
    }
    try
    {
        Poco::File(temporary).remove();
    }
    catch (const Poco::Exception&)
    {
    }
    if (error != target.lastError)
        DIAG_ERROR("[%s %?d] cannot write %s: %s", path, error);
    target.lastError = error;
}
