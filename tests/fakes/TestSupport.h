#pragma once

// Helpers of the tests that run on Linux only (zutil, platform, services):
// temporary folders, environment variables, files, bounded waits, children
// and standard error.

#include <Poco/Exception.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport
{

// A fresh folder of its own under the system temp folder, removed again.
class TempDir
{
public:
    TempDir()
    {
        std::string templ = (std::filesystem::temp_directory_path() / "wdtest-XXXXXX").string();
        m_path = ::mkdtemp(templ.data());
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    const std::filesystem::path& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// Sets, or with nullopt unsets, an environment variable for one scope.
class ScopedEnv
{
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : m_strName(std::move(name))
    {
        if (const char* old = std::getenv(m_strName.c_str()))
            m_optOld = old;
        value ? ::setenv(m_strName.c_str(), value->c_str(), 1) : ::unsetenv(m_strName.c_str());
    }
    ~ScopedEnv()
    {
        m_optOld ? ::setenv(m_strName.c_str(), m_optOld->c_str(), 1) : ::unsetenv(m_strName.c_str());
    }

private:
    std::string m_strName;
    std::optional<std::string> m_optOld;
};

inline void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string readFile(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A Watchdog.xml-shaped document with the given <Log> children.
inline std::string logConfig(const std::string& logChildren)
{
    return "<?xml version=\"1.0\"?>\n<config><Log>" + logChildren + "</Log></config>\n";
}

// displayText() of the E that `action` throws; a marker when it throws none.
template <typename E, typename Action> std::string thrownText(Action action)
{
    try
    {
        action();
    }
    catch (const E& e)
    {
        return e.displayText();
    }
    return "(no exception of the expected type)";
}

// Polls `condition` until it holds or `timeout` passes; true when it held.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::seconds timeout = std::chrono::seconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Wait status of the child `pid` once it ends; nullopt when it outlives
// `timeout`, in which case it is killed and reaped all the same.
inline std::optional<int> waitForExit(pid_t pid, std::chrono::seconds timeout = std::chrono::seconds(5))
{
    int status = 0;
    if (waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout))
        return status;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return std::nullopt;
}

// Sends standard error (descriptor 2 and the C and C++ streams on it) to a
// file for one scope; text() reads what arrived so far.
class StderrCapture
{
public:
    explicit StderrCapture(std::string path) : m_strPath(std::move(path))
    {
        std::fflush(stderr);
        m_nSaved = ::dup(STDERR_FILENO);
        const int fd = ::open(m_strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture()
    {
        std::fflush(stderr);
        ::dup2(m_nSaved, STDERR_FILENO);
        ::close(m_nSaved);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() const
    {
        std::fflush(stderr);
        std::clog.flush();
        return readFile(m_strPath);
    }

private:
    std::string m_strPath;
    int m_nSaved = -1;
};

} // namespace testsupport
