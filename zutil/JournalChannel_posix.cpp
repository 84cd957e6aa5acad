// The journal through libsystemd's native protocol: one datagram per record
// to journald's socket.
#define SD_JOURNAL_SUPPRESS_LOCATION // the fields name the record, not this file
#include "EscapingFormatter.h"
#include "JournalChannel.h"

#include <Poco/Message.h>

#include <systemd/sd-journal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace zvlog
{

namespace
{

const char* const JOURNAL_SOCKET = "/run/systemd/journal/socket";

// Parameters of a record that become fields of the same name.
const char* const FIELD_PARAMETERS[] = {"MESSAGE_ID", "WD_PROCESS", "WD_SERVICE", "WD_THREAD"};

// Syslog's numbers: fatal is "alert" (not "emergency", which journald sends
// to every terminal), trace is "debug".
char syslogPriority(Poco::Message::Priority priority)
{
    switch (priority)
    {
    case Poco::Message::PRIO_FATAL:
        return '1';
    case Poco::Message::PRIO_CRITICAL:
        return '2';
    case Poco::Message::PRIO_ERROR:
        return '3';
    case Poco::Message::PRIO_WARNING:
        return '4';
    case Poco::Message::PRIO_NOTICE:
        return '5';
    case Poco::Message::PRIO_INFORMATION:
        return '6';
    default:
        return '7';
    }
}

// Empty when a datagram socket connects to journald's socket, that is when a
// journal reads it; else why not.
std::string probeJournal()
{
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string("no local socket: ") + std::strerror(errno);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, JOURNAL_SOCKET, sizeof(address.sun_path) - 1);
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int error = errno;
    ::close(fd);
    if (result == 0)
        return {};
    return std::string("nothing listens on ") + JOURNAL_SOCKET + ": " + std::strerror(error);
}

class JournalChannel : public Poco::Channel
{
public:
    void log(const Poco::Message& msg) override
    {
        try
        {
            send(msg);
        }
        catch (...)
        {
            // Out of memory while building the entry: the record is lost,
            // the caller goes on.
        }
    }

protected:
    ~JournalChannel() override = default;

private:
    void send(const Poco::Message& msg)
    {
        std::string fields[4 + std::size(FIELD_PARAMETERS)];
        std::size_t count = 0;
        fields[count++] = "MESSAGE=" + escapedLine(msg.getText());
        fields[count++] = std::string("PRIORITY=") + syslogPriority(msg.getPriority());
        fields[count++] = std::string("SYSLOG_IDENTIFIER=") + JOURNAL_IDENTIFIER;
        fields[count++] = "WD_LOGGER=" + escapeField(msg.getSource());
        for (const char* name : FIELD_PARAMETERS)
            if (msg.has(name))
                fields[count++] = std::string(name) + "=" + escapeField(msg.get(name));

        iovec vector[std::size(fields)];
        for (std::size_t i = 0; i < count; ++i)
            vector[i] = iovec{fields[i].data(), fields[i].size()};
        const int result = sd_journal_sendv(vector, static_cast<int>(count));
        if (result >= 0)
        {
            m_bFailing.store(false);
            return;
        }
        if (!m_bFailing.exchange(true))
        {
            const std::string line = std::string("ZelvinUtil: the journal refuses records (") +
                                     std::strerror(-result) + "); they are lost until it takes them again\n";
            std::fputs(line.c_str(), stderr);
            std::fflush(stderr);
        }
    }

    std::atomic<bool> m_bFailing{false}; // the last record was refused
};

} // namespace

Poco::Channel::Ptr openJournal(std::string& strWhyNot)
{
    strWhyNot = probeJournal();
    if (!strWhyNot.empty())
        return nullptr;
    return new JournalChannel;
}

} // namespace zvlog
