#include "JournalChannel.h"

namespace zvlog
{

Poco::Channel::Ptr openJournal(std::string& strWhyNot)
{
    strWhyNot = "Windows has no journal";
    return nullptr;
}

} // namespace zvlog
