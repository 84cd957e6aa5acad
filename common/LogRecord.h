#pragma once

#include <Poco/Any.h>
#include <Poco/Message.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Every record of the watchdog is written through this helper, so each one has
// the same shape: the logger is looked up by name at every statement, the
// format begins with "[%s %?d] ", the first two arguments are the qualified
// function name and the source line, and the text is formatted with
// Poco::format over a vector of Poco::Any before the logger is asked.
namespace LogRecord
{

// "int WatchdogServerModule::run(int)" -> "WatchdogServerModule::run".
std::string qualifiedName(const char* prettyFunction);

// Parameters of a record's Poco::Message that name its event for the journal
// (the utility library's journal output writes them as fields of the same
// names): a record about one watched process or dependent service (register,
// feed, cancel, kill, launch, a status change, ...) carries the fixed 128-bit
// id of its kind of event, as 32 hex digits, and the process or service that
// its first own argument names. docs/configuration.md lists the ids.
inline constexpr const char* EVENT_ID_PARAMETER = "MESSAGE_ID";
inline constexpr const char* PROCESS_PARAMETER = "WD_PROCESS";
inline constexpr const char* SERVICE_PARAMETER = "WD_SERVICE";

// Formats `fmt` with `args` and hands the text to logger `loggerName` at
// `priority` (information, error or critical; anything else is logged as is).
// The event is recognised by its format string alone.
void write(Poco::Message::Priority priority, const char* loggerName, const std::string& fmt,
           const std::vector<Poco::Any>& args);

// A plain record: the text as it is, no prefix, no formatting.
void plain(Poco::Message::Priority priority, const char* loggerName, const std::string& text);

// String literals and char pointers become std::string, which is what "%s"
// expects from a Poco::Any; everything else is stored as it is.
template <typename T> Poco::Any toAny(T&& value)
{
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, const char*> || std::is_same_v<D, char*>)
        return Poco::Any(std::string(value));
    else
        return Poco::Any(D(std::forward<T>(value)));
}

template <typename... Args>
void format(Poco::Message::Priority priority, const char* loggerName, const std::string& function, int line,
            const char* fmt, Args&&... args)
{
    std::vector<Poco::Any> values;
    values.reserve(2 + sizeof...(Args));
    values.emplace_back(function);
    values.emplace_back(line);
    (values.emplace_back(toAny(std::forward<Args>(args))), ...);
    write(priority, loggerName, fmt, values);
}

} // namespace LogRecord

// The qualified name is computed once per statement and kept for the life of
// the process: never destroyed, because the worker thread still logs while
// static objects are torn down at exit.
#define LOG_RECORD_AT(logger, priority, fmt, ...)                                                            \
    do                                                                                                       \
    {                                                                                                        \
        static const std::string& wtdFunction_ =                                                             \
            *new std::string(LogRecord::qualifiedName(__PRETTY_FUNCTION__));                                 \
        LogRecord::format(priority, logger, wtdFunction_, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__);         \
    } while (0)

// Records of the watchdog's operations, on logger "WTD".
#define WTD_INFO(fmt, ...)                                                                                   \
    LOG_RECORD_AT("WTD", Poco::Message::PRIO_INFORMATION, fmt __VA_OPT__(, ) __VA_ARGS__)
#define WTD_ERROR(fmt, ...) LOG_RECORD_AT("WTD", Poco::Message::PRIO_ERROR, fmt __VA_OPT__(, ) __VA_ARGS__)
#define WTD_CRITICAL(fmt, ...)                                                                               \
    LOG_RECORD_AT("WTD", Poco::Message::PRIO_CRITICAL, fmt __VA_OPT__(, ) __VA_ARGS__)
#define WTD_PLAIN_INFO(text) LogRecord::plain(Poco::Message::PRIO_INFORMATION, "WTD", text)

// The watchdog's own diagnostics (the service manager in use, the allow-list,
// restored records, ...): the same shape on logger "Watchdog", so that "WTD"
// carries only the records of the watchdog's operations.
#define DIAG_LOGGER_NAME "Watchdog"
#define DIAG_INFO(fmt, ...)                                                                                  \
    LOG_RECORD_AT(DIAG_LOGGER_NAME, Poco::Message::PRIO_INFORMATION, fmt __VA_OPT__(, ) __VA_ARGS__)
#define DIAG_ERROR(fmt, ...)                                                                                 \
    LOG_RECORD_AT(DIAG_LOGGER_NAME, Poco::Message::PRIO_ERROR, fmt __VA_OPT__(, ) __VA_ARGS__)
