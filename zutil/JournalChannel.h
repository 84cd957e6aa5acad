#pragma once

#include <Poco/Channel.h>

#include <string>

namespace zvlog
{

// Identifier of every record written to the journal.
inline constexpr const char* JOURNAL_IDENTIFIER = "zelvin-watchdog";

// A channel that writes each record to the system's journal, or null when no
// journal takes records here; `strWhyNot` then says why ("nothing listens on
// /run/systemd/journal/socket: No such file or directory"). Each record becomes one journal
// entry: MESSAGE its text escaped as in the log file (EscapingFormatter.h),
// without the line end that ends it; PRIORITY its priority as syslog numbers
// it; SYSLOG_IDENTIFIER; WD_LOGGER the logger's name; and, when the record's
// Poco::Message has them, the parameters MESSAGE_ID, WD_PROCESS, WD_SERVICE
// and WD_THREAD as fields of the same names, escaped like a text. A record
// the journal refuses is lost; standard error gets one line when that
// begins. Thread-safe; log never throws.
Poco::Channel::Ptr openJournal(std::string& strWhyNot);

} // namespace zvlog
