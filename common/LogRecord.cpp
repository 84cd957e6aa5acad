#include "LogRecord.h"

#include <Poco/Format.h>
#include <Poco/Logger.h>

#include <string_view>

namespace LogRecord
{

std::string qualifiedName(const char* prettyFunction)
{
    // The parameter list starts at the first '(' outside angle brackets; the
    // name runs back from there to the last blank outside angle brackets.
    const std::string text(prettyFunction);
    int depth = 0;
    std::size_t open = text.size();
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const char c = text[i];
        if (c == '<')
            ++depth;
        else if (c == '>')
            --depth;
        else if (c == '(' && depth == 0)
        {
            open = i;
            break;
        }
    }
    depth = 0;
    std::size_t start = 0;
    for (std::size_t i = open; i-- > 0;)
    {
        const char c = text[i];
        if (c == '>')
            ++depth;
        else if (c == '<')
            --depth;
        else if (c == ' ' && depth == 0)
        {
            start = i + 1;
            break;
        }
    }
    return text.substr(start, open - start);
}

namespace
{

// The records about one watched process or dependent service, by their fixed
// format: the event's MESSAGE_ID (128 bits, fixed for good: operators query
// them) and, when its first own argument names the process or service, the
// parameter that carries it. The journal channel of the utility library
// writes both as fields.
struct EventKind
{
    std::string_view strFormat;
    const char* pszMessageId;
    const char* pszNameField; // nullptr: the argument names neither
};

constexpr const char* PROCESS = PROCESS_PARAMETER;
constexpr const char* SERVICE = SERVICE_PARAMETER;

constexpr EventKind EVENT_KINDS[] = {
    {"[%s %?d] register new process[%s]\n", "ff3c1362831f48cfbd7b7013e8bf1f4e", PROCESS},
    {"[%s %?d] register process[%s] is existed!\n", "396208d585474a879542052f1d33aa73", PROCESS},
    {"[%s %?d] feed process[%s]!\n", "8d7462bffd6942ec91f95d9abedda8ba", PROCESS},
    {"[%s %?d] feed process[%s] is not existed!\n", "929bb45db7d0457688ced16ef04aa864", PROCESS},
    {"[%s %?d] cancel process[%s]!\n", "b04a2ea7e4cc4915adc3aefc3ef22881", PROCESS},
    {"[%s %?d] cancel process[%s] is not existed!\n", "5f7e8aa7bd3640ddbcc77c4d09dc0e88", PROCESS},
    {"[%s %?d] kill process[%s]", "d49ea94fcfe749d9a2fbb02528041362", PROCESS},
    {"[%s %?d] the killed process[%s] is still running!\n", "dc9f944381d046cf99c9cf6aed8b0e40", PROCESS},
    {"[%s %?d] launch process[%s]", "9f755bcfa1d24e39a6525d9b78a3082b", SERVICE},
    {"[%s %?d] launch process[%s] Success", "b547abe2cc93440d811ff36b357e2be1", SERVICE},
    {"[%s %?d] net start app[%s] fail!", "57c9c03ef74e4479b4a031eed87d9da5", SERVICE},
    // Its argument is a fixed word, not the service.
    {"[%s %?d] Launch process[%s] Exception!", "57c9c03ef74e4479b4a031eed87d9da5", nullptr},
    {"[%s %?d] %s Status changed from %s to %s!\n", "75d2641267e04e58b25fc7d782e2503d", SERVICE},
    {"[%s %?d] start %s int the loop!\n", "e692615ce9894d5a912555b97496cd15", SERVICE},
    {"[%s %?d] Process[%s] is running!", "835f76f4deb14a818005819c3da1009b", SERVICE},
    {"[%s %?d] Process[%s] is unregistered!", "835f76f4deb14a818005819c3da1009b", SERVICE},
    {"[%s %?d] Process[%s] is exception!", "835f76f4deb14a818005819c3da1009b", SERVICE},
};

const EventKind* eventKind(const std::string& fmt)
{
    for (const EventKind& kind : EVENT_KINDS)
        if (kind.strFormat == fmt)
            return &kind;
    return nullptr;
}

void hand(Poco::Logger& logger, Poco::Message::Priority priority, const std::string& text)
{
    switch (priority)
    {
    case Poco::Message::PRIO_INFORMATION:
        logger.information(text);
        break;
    case Poco::Message::PRIO_ERROR:
        logger.error(text);
        break;
    case Poco::Message::PRIO_CRITICAL:
        logger.critical(text);
        break;
    default:
        if (logger.is(priority))
            logger.log(Poco::Message(logger.name(), text, priority));
        break;
    }
}

} // namespace

void write(Poco::Message::Priority priority, const char* loggerName, const std::string& fmt,
           const std::vector<Poco::Any>& args)
{
    std::string text;
    Poco::format(text, fmt, args);
    Poco::Logger& logger = Poco::Logger::get(loggerName);
    const EventKind* kind = eventKind(fmt);
    if (kind == nullptr)
    {
        hand(logger, priority, text);
        return;
    }
    // The same record, built here so that it carries the event's parameters.
    if (!logger.is(priority))
        return;
    Poco::Message msg(logger.name(), text, priority);
    msg.set(EVENT_ID_PARAMETER, kind->pszMessageId);
    const std::string* name = args.size() > 2 ? Poco::AnyCast<std::string>(&args[2]) : nullptr;
    if (kind->pszNameField != nullptr && name != nullptr)
        msg.set(kind->pszNameField, *name);
    logger.log(msg);
}

void plain(Poco::Message::Priority priority, const char* loggerName, const std::string& text)
{
    hand(Poco::Logger::get(loggerName), priority, text);
}

} // namespace LogRecord
