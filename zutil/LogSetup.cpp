#include "EscapingFormatter.h"
#include "GuardedFileChannel.h"
#include "JournalChannel.h"
#include "LogState.h"
#include "System.h"
#include "ZvLog.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/Exception.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/NumberParser.h>
#include <Poco/SplitterChannel.h>
#include <Poco/String.h>
#include <Poco/Util/XMLConfiguration.h>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace
{

const std::string LOG_PATTERN = "%Y-%m-%d %H:%M:%S.%i [%p] %s: %t";
const std::string DEFAULT_LEVEL = "information";
const std::string DEFAULT_DIR = "log";
const std::string DEFAULT_ROTATE_SIZE = "10 M";
const int DEFAULT_KEEP = 10;

enum LogTarget
{
    LOGTYPE_CONSOLE = 0,
    LOGTYPE_FILE = 1,
    LOGTYPE_BOTH = 2,
    LOGTYPE_JOURNAL = 3,
    LOGTYPE_JOURNAL_AND_FILE = 4
};

// Where the records of one log type go.
struct Outputs
{
    bool bFile = false;
    bool bConsole = false;
    bool bJournal = false;
};

Outputs outputsOf(int logType)
{
    switch (logType)
    {
    case LOGTYPE_CONSOLE:
        return {false, true, false};
    case LOGTYPE_FILE:
        return {true, false, false};
    case LOGTYPE_JOURNAL:
        return {false, false, true};
    case LOGTYPE_JOURNAL_AND_FILE:
        return {true, false, true};
    default:
        return {true, true, false};
    }
}

// Problems found while setting up, written once the new channels are in place
// so they land where the operator looks.
using Warnings = std::vector<std::string>;

// Every output gets its own formatter, which writes a record's control bytes
// as escapes so that no text can make a line of its own.
Poco::Channel::Ptr formatted(Poco::Channel::Ptr pTarget)
{
    Poco::AutoPtr<zvlog::EscapingFormatter> pFormatter(new zvlog::EscapingFormatter(LOG_PATTERN));
    pFormatter->setProperty(Poco::PatternFormatter::PROP_TIMES, "local");
    return new Poco::FormattingChannel(pFormatter, pTarget);
}

void applyToAllLoggers(Poco::Channel::Ptr pChannel, int level, const Warnings& warnings)
{
    // The empty name selects every logger that already exists; loggers created
    // later inherit from the root. The static setters skip everything when no
    // logger exists yet, so the root is made (and set) explicitly first.
    Poco::Logger::root().setChannel(pChannel);
    Poco::Logger::root().setLevel(level);
    Poco::Logger::setChannel("", pChannel);
    Poco::Logger::setLevel("", level);
    Poco::Logger& logger = Poco::Logger::get("ZelvinUtil");
    for (const std::string& warning : warnings)
        logger.warning(warning);
}

int toConsoleOnly(const Warnings& warnings)
{
    applyToAllLoggers(formatted(new Poco::ConsoleChannel), Poco::Message::PRIO_INFORMATION, warnings);
    return -1;
}

int readLevel(const Poco::Util::XMLConfiguration& config, Warnings& warnings)
{
    const std::string name = config.getString(zvlog::LEVEL_KEY, DEFAULT_LEVEL);
    int level = Poco::Message::PRIO_INFORMATION;
    if (!zvlog::parseLogLevel(name, level))
        warnings.push_back("unknown log level \"" + name + "\" in " + zvlog::LEVEL_KEY + ", using " +
                           DEFAULT_LEVEL);
    return level;
}

fs::path logFolder(const Poco::Util::XMLConfiguration& config, const fs::path& configPath,
                   const std::string& logDirOverride)
{
    // An override comes from the caller (a command line), so it is taken
    // relative to the working directory; Log.Dir relative to the config file.
    std::error_code ec;
    if (!logDirOverride.empty())
    {
        const fs::path dir = fs::absolute(logDirOverride, ec);
        return (ec ? fs::path(logDirOverride) : dir).lexically_normal();
    }
    const fs::path dir = Poco::trim(config.getString("Log.Dir[@value]", DEFAULT_DIR));
    return (dir.is_absolute() ? dir : configPath.parent_path() / dir).lexically_normal();
}

Poco::AutoPtr<Poco::FileChannel> makeFileChannel(const Poco::Util::XMLConfiguration& config,
                                                 const fs::path& file, bool bFlushEachRecord,
                                                 Warnings& warnings)
{
    Poco::AutoPtr<Poco::FileChannel> pFile(new Poco::FileChannel(file.string()));
    pFile->setProperty(Poco::FileChannel::PROP_TIMES, "local");
    pFile->setProperty(Poco::FileChannel::PROP_ARCHIVE, "number");
    pFile->setProperty(Poco::FileChannel::PROP_FLUSH, bFlushEachRecord ? "true" : "false");

    const std::string rotate = Poco::trim(config.getString("Log.RotateSize[@value]", DEFAULT_ROTATE_SIZE));
    try
    {
        pFile->setProperty(Poco::FileChannel::PROP_ROTATION, rotate);
    }
    catch (const Poco::Exception&)
    {
        warnings.push_back("invalid Log.RotateSize \"" + rotate + "\", using " + DEFAULT_ROTATE_SIZE);
        pFile->setProperty(Poco::FileChannel::PROP_ROTATION, DEFAULT_ROTATE_SIZE);
    }

    const std::string keepText =
        Poco::trim(config.getString("Log.Keep[@value]", std::to_string(DEFAULT_KEEP)));
    int keep = 0;
    if (!Poco::NumberParser::tryParse(keepText, keep) || keep < 1)
    {
        warnings.push_back("invalid Log.Keep \"" + keepText + "\", using " + std::to_string(DEFAULT_KEEP));
        keep = DEFAULT_KEEP;
    }
    pFile->setProperty(Poco::FileChannel::PROP_PURGECOUNT, std::to_string(keep));
    return pFile;
}

int initLog(const std::string& configName, int logType, bool bFlushEachRecord,
            const std::string& logDirOverride, const std::string& fileStemOverride)
{
    Warnings warnings;
    const fs::path configPath = System::getConfigFilePath(configName);
    // Taken before reading, so that an edit racing with the read is seen by
    // the level watch as a change still to apply.
    const zvlog::FileStamp stamp = zvlog::stampOf(configPath.string());
    Poco::AutoPtr<Poco::Util::XMLConfiguration> pConfig;
    try
    {
        pConfig = new Poco::Util::XMLConfiguration(configPath.string());
    }
    catch (const Poco::Exception& e)
    {
        zvlog::storeLogState({});
        warnings.push_back("cannot read logging configuration " + configPath.string() + " (" +
                           e.displayText() + "), logging to the console only");
        return toConsoleOnly(warnings);
    }

    const int level = readLevel(*pConfig, warnings);
    const fs::path dir = logFolder(*pConfig, configPath, logDirOverride);
    zvlog::storeLogState({configPath.string(), dir.string(), stamp});

    Outputs outputs = outputsOf(logType);
    if (logType < LOGTYPE_CONSOLE || logType > LOGTYPE_JOURNAL_AND_FILE)
        warnings.push_back("unknown log type " + std::to_string(logType) + ", logging to file and console");

    const std::string stem =
        fileStemOverride.empty() ? fs::path(configName).stem().string() : fileStemOverride;
    const fs::path file = dir / (stem + ".log");
    // The journal is looked for once, here; where there is none the records
    // go to the file, and the operator, who expects them in the journal, is
    // told on standard error (and in the file).
    Poco::Channel::Ptr pJournal;
    if (outputs.bJournal)
    {
        std::string whyNot;
        pJournal = zvlog::openJournal(whyNot);
        if (!pJournal)
        {
            outputs.bFile = true;
            const std::string text = "no journal to write to (" + whyNot + "); Log.Type " +
                                     std::to_string(logType) + " writes the log file " + file.string() +
                                     (logType == LOGTYPE_JOURNAL ? " instead" : " only");
            std::fputs(("ZelvinUtil: " + text + "\n").c_str(), stderr);
            std::fflush(stderr);
            warnings.push_back(text);
        }
    }

    // The file output is guarded: a full disk or a vanished folder drops and
    // counts records instead of throwing into the code that logs.
    Poco::AutoPtr<Poco::SplitterChannel> pSplitter(new Poco::SplitterChannel);
    int result = 0;
    if (pJournal)
        pSplitter->addChannel(pJournal);
    if (outputs.bFile)
    {
        std::error_code ec;
        fs::create_directories(dir, ec);
        Poco::AutoPtr<Poco::FileChannel> pFile = makeFileChannel(*pConfig, file, bFlushEachRecord, warnings);
        try
        {
            // Opened now so that an unwritable folder shows here, not as an
            // exception out of some later log call.
            pFile->open();
            pSplitter->addChannel(new zvlog::GuardedFileChannel(formatted(pFile), file.string()));
        }
        catch (const Poco::Exception& e)
        {
            warnings.push_back("cannot open log file " + file.string() + " (" + e.displayText() +
                               "), logging to the " + (pJournal ? "journal" : "console") + " only");
            if (!pJournal)
                return toConsoleOnly(warnings);
            result = -1;
        }
    }
    if (outputs.bConsole)
        pSplitter->addChannel(formatted(new Poco::ConsoleChannel));

    applyToAllLoggers(pSplitter, level, warnings);
    return result;
}

} // namespace

int ZV_InitLog(const char* configName, int logType, int flushEachRecord, std::string logDirOverride,
               std::string fileStemOverride)
{
    try
    {
        return initLog(configName == nullptr ? std::string() : std::string(configName), logType,
                       flushEachRecord != 0, logDirOverride, fileStemOverride);
    }
    catch (...)
    {
        // Out of memory or a failing filesystem call: logging must not take the
        // program down, so whatever is possible is done and -1 reported.
        try
        {
            zvlog::storeLogState({});
            return toConsoleOnly({});
        }
        catch (...)
        {
            return -1;
        }
    }
}

std::string ZV_GetLogDir()
{
    return zvlog::loadLogState().strLogDir;
}
