#pragma once

// A Poco channel that keeps every record it is given, and a guard that puts
// one on a logger for the length of a test. Thread-safe: the watchdog's
// worker thread logs while the test thread reads and waits.

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

struct CapturedRecord
{
    Poco::Message original; // as logged, parameters included
    std::string text;       // the whole text as logged
    Poco::Message::Priority priority = Poco::Message::PRIO_TRACE;
    std::string source; // the logger's name
    uint64_t stamp = 0; // the stamp function's value when the record arrived

    // "[function line] message" split up; function empty and line -1 for a
    // text without that prefix (message is then the whole text).
    std::string function;
    int line = -1;
    std::string message;
};

class CapturingChannel : public Poco::Channel
{
public:
    using Records = std::vector<CapturedRecord>;

    void log(const Poco::Message& msg) override
    {
        CapturedRecord record = parse(msg.getText());
        record.original = msg;
        record.priority = msg.getPriority();
        record.source = msg.getSource();
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_fnStamp)
            record.stamp = m_fnStamp();
        m_vecRecord.push_back(std::move(record));
        lock.unlock();
        m_cond.notify_all();
    }

    // Called on the logging thread for each record; must be cheap and safe
    // from any thread (a module's passCount, for instance).
    void setStamp(std::function<uint64_t()> stamp)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fnStamp = std::move(stamp);
    }

    Records records() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecRecord;
    }

    // Records whose message (the text after the prefix) equals `message`.
    Records find(const std::string& message) const
    {
        Records found;
        for (const CapturedRecord& record : records())
            if (record.message == message)
                found.push_back(record);
        return found;
    }

    std::vector<std::string> messages() const
    {
        std::vector<std::string> result;
        for (const CapturedRecord& record : records())
            result.push_back(record.message);
        return result;
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecRecord.clear();
    }

    // Waits (at most 10 s, which only stops a broken test from hanging) for
    // at least `count` records with this exact message.
    bool waitForMessage(const std::string& message, std::size_t count = 1) const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::seconds(10),
                               [&]
                               {
                                   std::size_t seen = 0;
                                   for (const CapturedRecord& record : m_vecRecord)
                                       seen += record.message == message ? 1 : 0;
                                   return seen >= count;
                               });
    }

    static CapturedRecord parse(const std::string& text)
    {
        static const std::regex PREFIX(R"(^\[([^\]]*) (\d+)\] )");
        CapturedRecord record;
        record.text = text;
        record.message = text;
        std::smatch match;
        if (std::regex_search(text, match, PREFIX))
        {
            record.function = match[1];
            record.line = std::stoi(match[2]);
            record.message = match.suffix();
        }
        return record;
    }

protected:
    ~CapturingChannel() override = default;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cond;
    Records m_vecRecord;
    std::function<uint64_t()> m_fnStamp;
};

// Installs a CapturingChannel on the logger `name` ("WTD" unless given) at
// trace level and puts the previous channel and level back when destroyed.
class LogCapture
{
public:
    explicit LogCapture(const std::string& name = "WTD")
        : m_pChannel(new CapturingChannel), m_logger(Poco::Logger::get(name)),
          m_pSavedChannel(m_logger.getChannel()), m_nSavedLevel(m_logger.getLevel())
    {
        m_logger.setChannel(m_pChannel);
        m_logger.setLevel(Poco::Message::PRIO_TRACE);
    }

    ~LogCapture()
    {
        m_logger.setChannel(m_pSavedChannel);
        m_logger.setLevel(m_nSavedLevel);
    }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    CapturingChannel& channel() { return *m_pChannel; }
    CapturingChannel* operator->() { return m_pChannel.get(); }

private:
    Poco::AutoPtr<CapturingChannel> m_pChannel;
    Poco::Logger& m_logger;
    Poco::Channel::Ptr m_pSavedChannel;
    int m_nSavedLevel;
};
