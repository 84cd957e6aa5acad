#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// What the last ZV_InitLog settled on, shared with the level watch and the
// crash reporter inside the library. Not exported.
namespace zvlog
{

// Key of the log level in the configuration file.
inline constexpr const char* LEVEL_KEY = "Log.Level[@value]";

// Modification time and size of a file: what the level watch compares.
struct FileStamp
{
    std::filesystem::file_time_type tmModified{};
    std::uintmax_t nSize = 0;
    bool operator==(const FileStamp&) const = default;
};

// Stamp of `path` now; all zero when it cannot be read. Never throws.
FileStamp stampOf(const std::string& path);

struct LogState
{
    std::string strConfigPath; // configuration file read; empty when none could be read
    std::string strLogDir;     // folder of the log file; empty when none could be read
    FileStamp stamp;           // of the configuration file, taken before it was read
    unsigned nGeneration = 0;  // counts the stores, so a reader sees a new set-up
};

// Thread-safe copy in and out; storing bumps the generation.
void storeLogState(const LogState& state);
LogState loadLogState();

// POCO priority named by `name` ("information", "debug", ..., any case,
// surrounding blanks ignored). False, `level` untouched, when it names none.
bool parseLogLevel(const std::string& name, int& level);

// Folder of crash reports: <log folder>/crash, or <exe dir>/../log/crash
// before logging is set up. Normalised; not created. Never throws.
std::string crashReportFolder();

} // namespace zvlog
