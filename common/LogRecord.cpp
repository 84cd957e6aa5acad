#include "LogRecord.h"

#include <Poco/Format.h>
#include <Poco/Logger.h>

#include <cstring>

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

static void hand(Poco::Logger& logger, Poco::Message::Priority priority, const std::string& text)
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

void write(Poco::Message::Priority priority, const char* loggerName, const std::string& fmt,
           const std::vector<Poco::Any>& args)
{
    std::string text;
    Poco::format(text, fmt, args);
    hand(Poco::Logger::get(loggerName), priority, text);
}

void plain(Poco::Message::Priority priority, const char* loggerName, const std::string& text)
{
    hand(Poco::Logger::get(loggerName), priority, text);
}

} // namespace LogRecord
