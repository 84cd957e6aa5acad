#include "CrashReport.h"
#include "EscapingFormatter.h"
#include "GuardedFileChannel.h"

#include <Poco/ErrorHandler.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/Thread.h>

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace
{

// "Poco::FileNotFoundException" rather than the mangled name; the mangled one
// when it cannot be demangled.
std::string typeName(const std::type_info& type)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(type.name());
}

// The ending thread's name; empty for a thread POCO did not start.
std::string currentThreadName()
{
    const Poco::Thread* pThread = Poco::Thread::current();
    return pThread != nullptr ? pThread->getName() : std::string();
}

// MESSAGE_ID of the record, for the journal: fixed, operators query it.
const char* const THREAD_ENDED_ID = "52b17c400cdf4c889836ac8a3fbd0f1b";

// POCO calls this on the thread that is ending, after the exception has left
// its Runnable; whatever that thread did has stopped for good, so the one
// thing left to do is to make that plain where an operator looks.
class ThreadEndHandler : public Poco::ErrorHandler
{
public:
    void exception(const Poco::Exception& exc) override
    {
        report(typeName(typeid(exc)) + ": " + exc.displayText());
    }

    void exception(const std::exception& exc) override { report(typeName(typeid(exc)) + ": " + exc.what()); }

    void exception() override { report("an exception of unknown type"); }

private:
    static void report(const std::string& description)
    {
        try
        {
            const std::string path = zvcrash::writeThreadEndReport(description);
            const std::string name = currentThreadName();
            const std::string text =
                (name.empty() ? "a thread" : "thread " + name) +
                " ended by an uncaught exception: " + description +
                (path.empty() ? " (no crash report could be written)" : " (crash report " + path + ")");
            const uint64_t dropped = zvlog::GuardedFileChannel::droppedRecords();
            bool bLogged = false;
            try
            {
                Poco::Message msg("ZelvinUtil", text, Poco::Message::PRIO_CRITICAL);
                msg.set("MESSAGE_ID", THREAD_ENDED_ID);
                if (!name.empty())
                    msg.set("WD_THREAD", name);
                Poco::Logger::get("ZelvinUtil").log(msg);
                bLogged = zvlog::GuardedFileChannel::droppedRecords() == dropped;
            }
            catch (...)
            {
            }
            // The log may be what failed (a full disk): then standard error is
            // the one place left, escaped as the log would have it.
            if (!bLogged)
            {
                std::fputs(("ZelvinUtil: " + zvlog::escapedLine(text) + "\n").c_str(), stderr);
                std::fflush(stderr);
            }
            // The slow part last, so that the record is out even when the
            // process is ended before a dump is complete.
            zvcrash::writeThreadEndDump();
        }
        catch (...)
        {
            std::fputs("ZelvinUtil: a thread ended by an uncaught exception\n", stderr);
        }
    }
};

} // namespace

namespace zvcrash
{

void installThreadEndHandler()
{
    // Never destroyed: threads may still end while statics are torn down.
    static ThreadEndHandler* const pHandler = new ThreadEndHandler;
    Poco::ErrorHandler::set(pHandler);
}

} // namespace zvcrash
