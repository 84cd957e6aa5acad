#pragma once

#include "WatchdogMessages.h"

#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <cstddef>
#include <cstdint>
#include <string>

// One TCP connection to the watchdog, reused for every message. The watchdog
// never answers, so a send succeeds once all bytes are handed to TCP. Not
// thread-safe: one thread owns an instance. Sends never raise SIGPIPE.
class WatchdogClient
{
public:
    // Does not connect yet. `timeout` bounds the connect and each send.
    WatchdogClient(std::string strHost, uint16_t nPort, Poco::Timespan timeout = Poco::Timespan(3, 0));
    ~WatchdogClient();
    WatchdogClient(const WatchdogClient&) = delete;
    WatchdogClient& operator=(const WatchdogClient&) = delete;

    // Opens the connection with TCP_NODELAY. Throws Poco::Net::NetException
    // (ConnectionRefusedException when refused) whose message() reads
    // "cannot connect to HOST:PORT: REASON"; Poco::IllegalStateException when
    // already connected.
    void connect();

    // Build and send one message; see sendRaw for failures, and
    // WatchdogMessages for the InvalidArgumentException on overlong texts.
    void registerProcess(const std::string& strName, const std::string& strService, uint32_t nPid,
                         uint32_t nTimeoutMs, const std::string& strExtra = std::string());
    void feed(const std::string& strName);
    void cancel(const std::string& strName);

    // Writes every byte, looping over partial sends. Throws
    // Poco::IllegalStateException when not connected, a Poco::Net exception
    // or Poco::TimeoutException when the write fails; the connection is then
    // closed, since the watchdog may hold a partial message.
    void sendRaw(const WatchdogMessages::Bytes& bytes);
    void sendRaw(const void* pData, std::size_t nLength);

    // Never blocks. Throws Poco::Net::ConnectionResetException (and closes)
    // when the watchdog has closed or reset the connection; any bytes it sent
    // are discarded. Lets an idle sender notice a lost watchdog.
    void checkConnection();

    // Half-closes the sending side, so the watchdog reads everything sent
    // before it sees the end of the stream, then closes. Throws like sendRaw.
    void finish();

    // Idempotent; never throws.
    void close() noexcept;

    bool isConnected() const { return m_bConnected; }
    // "host:port" as given, for messages.
    std::string address() const;

private:
    // Per-OS flags for send(): suppresses SIGPIPE where the OS raises it.
    static int sendFlags();
    [[noreturn]] void failConnect(const Poco::Exception& exc) const;
    void requireConnected() const;

    std::string m_strHost;
    uint16_t m_nPort;
    Poco::Timespan m_timeout;
    Poco::Net::StreamSocket m_socket;
    bool m_bConnected = false;
};
