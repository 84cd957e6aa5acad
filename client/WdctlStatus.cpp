#include "WdctlStatus.h"

#include "ProcessAlive.h"
#include "WatchdogFolders.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Path.h>
#include <Poco/StreamCopier.h>

#include <algorithm>
#include <sstream>

namespace
{
// A name for a terminal: control characters (a name from the network may
// hold escape sequences) written as \xHH.
std::string printable(const std::string& text)
{
    static const char* const HEX = "0123456789abcdef";
    std::string out;
    for (const char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
        {
            out += "\\x";
            out += HEX[byte >> 4];
            out += HEX[byte & 0xF];
        }
        else
            out += c;
    }
    return out;
}

// Characters, not bytes, for the column widths.
std::size_t width(const std::string& text)
{
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// A table of left-aligned columns, two blanks apart; the last column unpadded.
void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows)
{
    std::vector<std::size_t> widths;
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i)
        {
            widths.resize(std::max(widths.size(), row.size()));
            widths[i] = std::max(widths[i], width(row[i]));
        }
    for (const auto& row : rows)
    {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i)
        {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - width(row[i]) + 2, ' ');
        }
        out << line << '\n';
    }
}

// Milliseconds for people: "12s", "1.5s", "3m12s", "2h05m".
std::string duration(int64_t ms)
{
    if (ms < 0)
        ms = 0;
    const int64_t seconds = ms / 1000;
    std::ostringstream text;
    if (seconds >= 3600)
        text << seconds / 3600 << 'h' << (seconds % 3600 / 60 < 10 ? "0" : "") << seconds % 3600 / 60 << 'm';
    else if (seconds >= 60)
        text << seconds / 60 << 'm' << (seconds % 60 < 10 ? "0" : "") << seconds % 60 << 's';
    else if (ms % 1000 == 0)
        text << seconds << 's';
    else
        text << seconds << '.' << ms % 1000 / 100 << 's';
    return text.str();
}

// RFC 3339 as milliseconds since 1970; nullopt when it is no such time.
std::optional<int64_t> parseTime(const std::string& text)
{
    Poco::DateTime time;
    int zone = 0;
    if (!Poco::DateTimeParser::tryParse(Poco::DateTimeFormat::ISO8601_FRAC_FORMAT, text, time, zone))
        return std::nullopt;
    return time.timestamp().epochMicroseconds() / 1000 - int64_t(zone) * 1000;
}

std::optional<std::string> readFile(const std::string& path)
{
    if (!Poco::File(path).exists())
        return std::nullopt;
    Poco::FileInputStream in(path, std::ios::in | std::ios::binary);
    std::string text;
    Poco::StreamCopier::copyToString(in, text);
    return text;
}
} // namespace

std::string WdctlStatus::defaultPath()
{
    const auto inFolder = [](const std::string& folder)
    { return Poco::Path(Poco::Path::forDirectory(folder), "status.json").toString(); };
    // A user who is not root has a runtime folder of their own, where a
    // watchdog of theirs would write; without a snapshot there (or without
    // such a folder), the machine's watchdog is the one meant, unless the
    // folder was named explicitly.
    if (!Poco::Environment::get("ZELVIN_RUNTIME_DIR", "").empty())
        return inFolder(runtimeFolder());
    try
    {
        const std::string path = inFolder(runtimeFolder());
        if (Poco::File(path).exists())
            return path;
    }
    catch (const Poco::InvalidArgumentException&)
    {
    }
    return inFolder(systemRuntimeFolder());
}

bool WdctlStatus::processIsFine(const JsonValue& process)
{
    return process.isNull("timeoutMs") || process.number("lastFeedAgeMs") < process.number("timeoutMs");
}

bool WdctlStatus::serviceIsFine(const JsonValue& service)
{
    const std::string status = service.text("status");
    return status == "running" || status == "unregistered" || !service.isNull("suppressedBy");
}

int WdctlStatus::run(const std::string& path, bool bJson, const std::optional<std::string>& optName,
                     int64_t nowMs)
{
    std::optional<std::string> text;
    JsonValue snapshot;
    try
    {
        text = readFile(path);
        if (!text)
        {
            m_err << "wdctl: no status snapshot at " << path
                  << ": the watchdog is not running, or not with this "
                  << "runtime folder (ZELVIN_RUNTIME_DIR)" << std::endl;
            return WDCTL_STATUS_NO_WATCHDOG;
        }
        snapshot = parseJson(*text);
    }
    catch (const Poco::Exception& exc)
    {
        m_err << "wdctl: cannot read the status snapshot " << path << ": " << exc.displayText() << std::endl;
        return WDCTL_STATUS_NO_WATCHDOG;
    }

    const JsonValue* processes = snapshot.member("processes");
    std::vector<const JsonValue*> vecSelected;
    if (processes)
        for (const JsonValue& process : processes->vecItems)
            if (!optName || process.text("name") == *optName)
                vecSelected.push_back(&process);

    if (bJson && !optName)
        m_out << *text;
    else if (bJson)
    {
        JsonValue filtered = snapshot;
        for (auto& [key, value] : filtered.vecMembers)
            if (key == "processes")
            {
                value.vecItems.clear();
                for (const JsonValue* process : vecSelected)
                    value.vecItems.push_back(*process);
            }
        m_out << writeJson(filtered);
    }
    else
        printText(snapshot, vecSelected, !optName, nowMs);
    m_out.flush();

    const std::optional<int64_t> updatedAt = parseTime(snapshot.text("updatedAt"));
    const int64_t pid = snapshot.number("pid");
    if (!updatedAt || nowMs - *updatedAt > STALE_AFTER_MS)
    {
        m_err << "wdctl: the status snapshot is "
              << (updatedAt ? duration(nowMs - *updatedAt) : "of unknown age")
              << " old: the watchdog's worker is not running" << std::endl;
        return WDCTL_STATUS_NO_WATCHDOG;
    }
    if (!isProcessAlive(pid))
    {
        m_err << "wdctl: the watchdog (pid " << pid << ") is not running" << std::endl;
        return WDCTL_STATUS_NO_WATCHDOG;
    }

    if (optName && vecSelected.empty())
    {
        m_err << "wdctl: no watched process named " << printable(*optName) << std::endl;
        return WDCTL_STATUS_NOT_OK;
    }
    bool bFine = std::all_of(vecSelected.begin(), vecSelected.end(),
                             [](const JsonValue* process) { return processIsFine(*process); });
    const JsonValue* services = snapshot.member("services");
    if (!optName && services)
        bFine = bFine && std::all_of(services->vecItems.begin(), services->vecItems.end(),
                                     [](const JsonValue& service) { return serviceIsFine(service); });
    return bFine ? WDCTL_STATUS_OK : WDCTL_STATUS_NOT_OK;
}

void WdctlStatus::printText(const JsonValue& snapshot, const std::vector<const JsonValue*>& vecProcesses,
                            bool bAll, int64_t nowMs) const
{
    if (vecProcesses.empty() && bAll)
        m_out << "No watched processes.\n";
    else if (!vecProcesses.empty())
    {
        std::vector<std::vector<std::string>> rows = {
            {"PROCESS", "SERVICE", "STATE", "LAST FEED", "TIMEOUT", "RESTARTS", "LAST RESTART"}};
        for (const JsonValue* process : vecProcesses)
        {
            const bool bNever = process->isNull("timeoutMs");
            std::string fed = duration(process->number("lastFeedAgeMs")) + " ago";
            if (!processIsFine(*process))
                fed += " (late)";
            rows.push_back({printable(process->text("name")), printable(process->text("service")),
                            process->text("state"), fed,
                            bNever ? "never" : duration(process->number("timeoutMs")),
                            std::to_string(process->number("restarts")),
                            process->isNull("lastRestartAt") ? "-" : process->text("lastRestartAt")});
        }
        printTable(m_out, rows);
    }
    if (!bAll)
        return;

    const JsonValue* services = snapshot.member("services");
    if (services && !services->vecItems.empty())
    {
        std::vector<std::vector<std::string>> rows = {{"SERVICE", "STATUS", "SINCE"}};
        for (const JsonValue& service : services->vecItems)
        {
            std::string status = service.text("status");
            if (!service.isNull("suppressedBy"))
                status += " (left to " + printable(service.text("suppressedBy")) + ")";
            else if (status == "unregistered")
                status += " (not installed)";
            rows.push_back({printable(service.text("name")), status, service.text("changedAt")});
        }
        m_out << '\n';
        printTable(m_out, rows);
    }

    const std::optional<int64_t> startedAt = parseTime(snapshot.text("startedAt"));
    m_out << "\nwatchdog: pid " << snapshot.number("pid") << ", up since " << snapshot.text("startedAt");
    if (startedAt)
        m_out << " (" << duration(nowMs - *startedAt) << ")";
    m_out << ", " << snapshot.number("passes") << " passes, last pass " << snapshot.number("lastPassMs")
          << " ms, service manager " << printable(snapshot.text("serviceManager")) << ", "
          << snapshot.number("clients") << " clients, version " << printable(snapshot.text("version"))
          << '\n';
}
