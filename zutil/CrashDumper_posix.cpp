#include "CrashDumper.h"

#include "CrashReport.h"
#include "LogState.h"
#include "System.h"
#include "ZvLog.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

// Everything the handler touches is prepared by Install(): the folder path in
// a static buffer, the backtrace machinery loaded, an alternate stack. The
// handler itself uses only async-signal-safe calls (open, write, close,
// sigaction, raise) and its own number formatting; backtrace() and
// backtrace_symbols_fd() are safe enough once libgcc is loaded and are the
// point of the report.

namespace
{

constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int MAX_FRAMES = 64;
constexpr std::size_t ALT_STACK_SIZE = 64 * 1024;

char g_szCrashDir[PATH_MAX];
alignas(16) char g_altStack[ALT_STACK_SIZE];

const char* signalName(int sig)
{
    switch (sig)
    {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "unknown signal";
    }
}

// Fixed-capacity text assembly without malloc or stdio.
class Text
{
public:
    Text& add(const char* s)
    {
        while (*s != '\0' && m_nLen + 1 < sizeof(m_buf))
            m_buf[m_nLen++] = *s++;
        m_buf[m_nLen] = '\0';
        return *this;
    }

    Text& add(unsigned long long value, int minDigits = 1, int base = 10)
    {
        char digits[32];
        int n = 0;
        do
        {
            digits[n++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0 && n < 32);
        while (n < minDigits && n < 32)
            digits[n++] = '0';
        char out[33];
        for (int i = 0; i < n; ++i)
            out[i] = digits[n - 1 - i];
        out[n] = '\0';
        return add(out);
    }

    const char* str() const { return m_buf; }
    std::size_t size() const { return m_nLen; }

private:
    char m_buf[PATH_MAX + 256] = {};
    std::size_t m_nLen = 0;
};

// UTC calendar time from epoch seconds by arithmetic alone (gmtime_r is not
// async-signal-safe). Days-to-civil after H. Hinnant's public algorithm.
Text& addUtcTime(Text& text, time_t now, bool bCompact)
{
    const long long secs = static_cast<long long>(now);
    long long days = secs / 86400;
    const long long rem = secs % 86400;
    days += 719468;
    const long long era = days / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    text.add(year, 4).add(bCompact ? "" : "-").add(month, 2).add(bCompact ? "" : "-").add(day, 2);
    text.add(bCompact ? "T" : " ").add(rem / 3600, 2).add(bCompact ? "" : ":").add(rem / 60 % 60, 2);
    return text.add(bCompact ? "" : ":").add(rem % 60, 2).add(bCompact ? "Z" : " UTC");
}

// False when the data could not all be written.
bool writeAll(int fd, const char* data, std::size_t len)
{
    while (len > 0)
    {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// "Time: ... UTC\nPid: N\n", the lines every report starts with after its title.
Text& addTimeAndPid(Text& head, time_t now)
{
    head.add("Time: ");
    return addUtcTime(head, now, false)
        .add("\nPid: ")
        .add(static_cast<unsigned long long>(::getpid()))
        .add("\n");
}

// The calling thread's stack, one frame a line. Async-signal-safe once
// backtrace() has been called before (CrashDumper::Install does).
void writeBacktrace(int fd)
{
    void* frames[MAX_FRAMES];
    const int count = ::backtrace(frames, MAX_FRAMES);
    ::backtrace_symbols_fd(frames, count, fd);
}

void writeReport(int fd, int sig, const siginfo_t* info, time_t now)
{
    Text head;
    head.add("Fatal signal ")
        .add(static_cast<unsigned long long>(sig))
        .add(" (")
        .add(signalName(sig))
        .add(")\n");
    addTimeAndPid(head, now);
    if (info != nullptr && (sig == SIGSEGV || sig == SIGBUS))
        head.add("Fault address: 0x")
            .add(reinterpret_cast<unsigned long long>(info->si_addr), 1, 16)
            .add("\n");
    head.add("Backtrace:\n");
    writeAll(fd, head.str(), head.size());
    writeBacktrace(fd);
}

// Opens <crash folder>/crash-<pid>-<time>.txt for appending (a thread's
// report and a fatal signal in the same second share the file); -1 when
// there is no folder or the file cannot be opened.
int openReport(Text& path, time_t now)
{
    if (g_szCrashDir[0] == '\0')
        return -1;
    path.add(g_szCrashDir).add("/crash-").add(static_cast<unsigned long long>(::getpid())).add("-");
    addUtcTime(path, now, true).add(".txt");
    return ::open(path.str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void onFatalSignal(int sig, siginfo_t* info, void* /*context*/)
{
    const time_t now = ::time(nullptr);
    Text path;
    const int fd = openReport(path, now);
    if (fd >= 0)
    {
        writeReport(fd, sig, info, now);
        ::close(fd);
        Text note;
        note.add("Fatal signal ")
            .add(signalName(sig))
            .add(", crash report written to ")
            .add(path.str())
            .add("\n");
        writeAll(STDERR_FILENO, note.str(), note.size());
    }
    else
    {
        writeReport(STDERR_FILENO, sig, info, now);
    }
    // SA_RESETHAND has put the default action back; the re-raised signal is
    // delivered when the handler returns and ends the process as usual (a
    // faulting instruction would simply fault again).
    ::raise(sig);
}

} // namespace

namespace
{

// False when a write failed (a full disk).
bool writeThreadEndReportTo(int fd, const std::string& description, time_t now)
{
    Text head;
    head.add("Thread ended by an uncaught exception\n");
    addTimeAndPid(head, now);
    const std::string exception = "Exception: " + description + "\nBacktrace (where it was caught):\n";
    if (!writeAll(fd, head.str(), head.size()) || !writeAll(fd, exception.data(), exception.size()))
        return false;
    writeBacktrace(fd);
    return true;
}

} // namespace

std::string zvcrash::writeThreadEndReport(const std::string& description)
{
    const time_t now = ::time(nullptr);
    Text path;
    const int fd = openReport(path, now);
    const bool bWritten = fd >= 0 && writeThreadEndReportTo(fd, description, now);
    if (fd >= 0)
        ::close(fd);
    if (bWritten)
        return path.str();
    writeThreadEndReportTo(STDERR_FILENO, description, now);
    return std::string();
}

// The report already holds the backtrace; there is no dump to add.
void zvcrash::writeThreadEndDump() {}

void CrashDumper::Install()
{
    const std::string folder = zvlog::crashReportFolder();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    // A folder that cannot be made, or a path too long for the buffer, leaves
    // the report on standard error.
    if (!ec && folder.size() < sizeof(g_szCrashDir))
        std::memcpy(g_szCrashDir, folder.c_str(), folder.size() + 1);
    else
        g_szCrashDir[0] = '\0';

    // Loads libgcc's unwinder now; on first use it would call malloc/dlopen.
    void* frames[1];
    ::backtrace(frames, 1);

    // Stack overflows fault on the exhausted stack; the handler needs its own.
    stack_t altStack{};
    altStack.ss_sp = g_altStack;
    altStack.ss_size = sizeof(g_altStack);
    altStack.ss_flags = 0;
    ::sigaltstack(&altStack, nullptr);

    struct sigaction action
    {
    };
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int sig : FATAL_SIGNALS)
        ::sigaction(sig, &action, nullptr);

    zvcrash::installThreadEndHandler();
}
