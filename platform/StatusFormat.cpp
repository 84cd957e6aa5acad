#include "StatusFormat.h"

#include <Poco/DateTimeFormatter.h>
#include <Poco/Timestamp.h>

#include <unordered_set>

namespace
{
const char* const REPLACEMENT = "\xEF\xBF\xBD"; // U+FFFD

bool inRange(unsigned char c, unsigned char lo, unsigned char hi)
{
    return c >= lo && c <= hi;
}

// Length of the well-formed UTF-8 sequence at bytes[i] (the table of
// well-formed byte sequences: no overlong forms, no surrogates, nothing above
// U+10FFFF), or 0 when the byte there begins none.
std::size_t sequenceLength(std::string_view bytes, std::size_t i)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
    const std::size_t left = bytes.size() - i;
    const unsigned char lead = at(0);
    if (lead < 0x80)
        return 1;
    const auto tail = [&](std::size_t k) { return inRange(at(k), 0x80, 0xBF); };
    if (inRange(lead, 0xC2, 0xDF))
        return left >= 2 && tail(1) ? 2 : 0;
    if (inRange(lead, 0xE0, 0xEF))
    {
        if (left < 3 || !tail(2))
            return 0;
        const unsigned char lo = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = lead == 0xED ? 0x9F : 0xBF;
        return inRange(at(1), lo, hi) ? 3 : 0;
    }
    if (inRange(lead, 0xF0, 0xF4))
    {
        if (left < 4 || !tail(2) || !tail(3))
            return 0;
        const unsigned char lo = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = lead == 0xF4 ? 0x8F : 0xBF;
        return inRange(at(1), lo, hi) ? 4 : 0;
    }
    return 0;
}

// Calls escape(out, c) for each ASCII byte and appends longer well-formed
// sequences as they are, a replacement for each stray byte.
template <typename Escape> void appendEscaped(std::string& out, std::string_view bytes, Escape escape)
{
    for (std::size_t i = 0; i < bytes.size();)
    {
        const std::size_t length = sequenceLength(bytes, i);
        if (length == 1)
            escape(out, bytes[i]);
        else if (length == 0)
            out += REPLACEMENT;
        else
            out.append(bytes.substr(i, length));
        i += length == 0 ? 1 : length;
    }
}

void appendJsonChar(std::string& out, char c)
{
    static const char* const HEX = "0123456789abcdef";
    switch (c)
    {
    case '"':
        out += "\\\"";
        return;
    case '\\':
        out += "\\\\";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\t':
        out += "\\t";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\b':
        out += "\\b";
        return;
    case '\f':
        out += "\\f";
        return;
    default:
        break;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20)
    {
        out += "\\u00";
        out += HEX[byte >> 4];
        out += HEX[byte & 0xF];
    }
    else
        out += c;
}

void appendLabelChar(std::string& out, char c)
{
    if (c == '\\')
        out += "\\\\";
    else if (c == '"')
        out += "\\\"";
    else if (c == '\n')
        out += "\\n";
    else
        out += c;
}

// Milliseconds as seconds with three decimals, exactly: 1500 -> "1.500".
void appendSeconds(std::string& out, int64_t ms)
{
    if (ms < 0)
    {
        out += '-';
        ms = -ms;
    }
    const int64_t fraction = ms % 1000;
    out += std::to_string(ms / 1000);
    out += '.';
    out += static_cast<char>('0' + fraction / 100);
    out += static_cast<char>('0' + fraction / 10 % 10);
    out += static_cast<char>('0' + fraction % 10);
}

void appendNumber(std::string& out, uint64_t value)
{
    out += std::to_string(value);
}

void appendTime(std::string& out, const std::optional<int64_t>& atMs)
{
    if (!atMs)
    {
        out += "null";
        return;
    }
    out += '"';
    out += StatusFormat::rfc3339(*atMs);
    out += '"';
}

const char* statusText(int32_t status)
{
    // As the watchdog's log prints them: any other value is an exception.
    switch (status)
    {
    case 0:
        return "running";
    case 1:
        return "stop";
    case 2:
        return "unregistered";
    default:
        return "exception";
    }
}

void appendFamily(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}
} // namespace

std::string StatusFormat::validUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    appendEscaped(out, bytes, [](std::string& o, char c) { o += c; });
    return out;
}

void StatusFormat::appendJsonString(std::string& out, std::string_view bytes)
{
    out += '"';
    appendEscaped(out, bytes, appendJsonChar);
    out += '"';
}

void StatusFormat::appendLabelValue(std::string& out, std::string_view bytes)
{
    appendEscaped(out, bytes, appendLabelChar);
}

std::string StatusFormat::rfc3339(int64_t msSinceEpoch)
{
    return Poco::DateTimeFormatter::format(Poco::Timestamp(msSinceEpoch * 1000), "%Y-%m-%dT%H:%M:%S.%iZ");
}

std::string StatusFormat::json(const StatusSnapshot& s)
{
    std::string out;
    out.reserve(512 + s.processes.size() * 256);
    out += "{\n  \"version\": ";
    appendJsonString(out, s.version);
    out += ",\n  \"pid\": " + std::to_string(s.pid);
    out += ",\n  \"startedAt\": ";
    appendTime(out, s.startedAtMs);
    out += ",\n  \"updatedAt\": ";
    appendTime(out, s.updatedAtMs);
    out += ",\n  \"serviceManager\": ";
    appendJsonString(out, s.serviceManager);
    out += ",\n  \"passes\": ";
    appendNumber(out, s.passes);
    out += ",\n  \"lastPassMs\": ";
    appendNumber(out, s.lastPassMs);
    out += ",\n  \"clients\": ";
    appendNumber(out, s.clients);
    out += ",\n  \"processes\": [";
    const char* separator = "\n    ";
    for (const ProcessStatus& p : s.processes)
    {
        out += separator;
        separator = ",\n    ";
        out += "{\"name\": ";
        appendJsonString(out, p.name);
        out += ", \"service\": ";
        appendJsonString(out, p.service);
        out += ", \"pid\": ";
        appendNumber(out, p.pid);
        out += ", \"timeoutMs\": ";
        if (p.timeoutMs)
            appendNumber(out, *p.timeoutMs);
        else
            out += "null";
        out += ", \"lastFeedAgeMs\": ";
        appendNumber(out, p.lastFeedAgeMs);
        out += p.restarted ? ", \"state\": \"restarted\"" : ", \"state\": \"watching\"";
        out += ", \"graceCount\": " + std::to_string(p.graceCount);
        out += ", \"restarts\": ";
        appendNumber(out, p.restarts);
        out += ", \"lastRestartAt\": ";
        appendTime(out, p.lastRestartAtMs);
        out += '}';
    }
    out += s.processes.empty() ? "],\n" : "\n  ],\n";
    out += "  \"services\": [";
    separator = "\n    ";
    for (const ServiceStatusEntry& service : s.services)
    {
        out += separator;
        separator = ",\n    ";
        out += "{\"name\": ";
        appendJsonString(out, service.name);
        out += ", \"status\": \"";
        out += statusText(service.status);
        out += "\", \"changedAt\": ";
        appendTime(out, service.changedAtMs);
        out += ", \"suppressedBy\": ";
        if (service.suppressedBy)
            appendJsonString(out, *service.suppressedBy);
        else
            out += "null";
        out += '}';
    }
    out += s.services.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::string StatusFormat::metrics(const StatusSnapshot& s)
{
    // Each process's labels, once, unique: the three per-process families
    // repeat them.
    std::vector<std::string> vecLabels;
    vecLabels.reserve(s.processes.size());
    std::unordered_set<std::string> setSeen;
    for (const ProcessStatus& p : s.processes)
    {
        std::string process;
        appendLabelValue(process, p.name);
        std::string service;
        appendLabelValue(service, p.service);
        std::string labels = "{process=\"" + process + "\",service=\"" + service + "\"}";
        for (int n = 2; !setSeen.insert(labels).second; ++n)
            labels = "{process=\"" + process + " #" + std::to_string(n) + "\",service=\"" + service + "\"}";
        vecLabels.push_back(std::move(labels));
    }

    std::string out;
    out.reserve(2048 + s.processes.size() * 400);
    const auto sample = [&out](const char* name, const std::string& labels, const std::string& value)
    {
        out += name;
        out += labels;
        out += ' ';
        out += value;
        out += '\n';
    };
    const auto seconds = [](int64_t ms)
    {
        std::string text;
        appendSeconds(text, ms);
        return text;
    };
    const std::string none;

    appendFamily(out, "zelvin_watchdog_start_time_seconds", "gauge",
                 "When the watchdog started, in seconds since 1970.");
    sample("zelvin_watchdog_start_time_seconds", none, seconds(s.startedAtMs));
    appendFamily(out, "zelvin_watchdog_passes_total", "counter", "Passes of the watchdog's worker loop.");
    sample("zelvin_watchdog_passes_total", none, std::to_string(s.passes));
    appendFamily(out, "zelvin_watchdog_last_pass_seconds", "gauge", "Length of the last pass.");
    sample("zelvin_watchdog_last_pass_seconds", none, seconds(s.lastPassMs));
    appendFamily(out, "zelvin_watchdog_clients", "gauge", "Open client connections.");
    sample("zelvin_watchdog_clients", none, std::to_string(s.clients));
    appendFamily(out, "zelvin_watchdog_processes", "gauge", "Watched-process records.");
    sample("zelvin_watchdog_processes", none, std::to_string(s.processes.size()));

    appendFamily(out, "zelvin_watchdog_feed_age_seconds", "gauge",
                 "Time since the process's last feed, registration or restart.");
    for (std::size_t i = 0; i < s.processes.size(); ++i)
        sample("zelvin_watchdog_feed_age_seconds", vecLabels[i], seconds(s.processes[i].lastFeedAgeMs));
    appendFamily(out, "zelvin_watchdog_timeout_seconds", "gauge",
                 "The process's feed timeout; +Inf for a record that never expires.");
    for (std::size_t i = 0; i < s.processes.size(); ++i)
    {
        const std::optional<uint32_t>& timeout = s.processes[i].timeoutMs;
        sample("zelvin_watchdog_timeout_seconds", vecLabels[i], timeout ? seconds(*timeout) : "+Inf");
    }
    appendFamily(out, "zelvin_watchdog_restarts_total", "counter",
                 "Restarts of the process since its record was registered or restored.");
    for (std::size_t i = 0; i < s.processes.size(); ++i)
        sample("zelvin_watchdog_restarts_total", vecLabels[i], std::to_string(s.processes[i].restarts));

    appendFamily(out, "zelvin_watchdog_service_status", "gauge",
                 "Status of a dependent service: 0 running, 1 stop, 2 unregistered, 3 exception.");
    for (const ServiceStatusEntry& service : s.services)
    {
        std::string labels = "{service=\"";
        appendLabelValue(labels, service.name);
        labels += "\"}";
        // As the log prints them: any other code is an exception.
        const int32_t code = service.status >= 0 && service.status <= 3 ? service.status : 3;
        sample("zelvin_watchdog_service_status", labels, std::to_string(code));
    }
    appendFamily(out, "zelvin_watchdog_status_changes_total", "counter",
                 "Status changes of a dependent service since the watchdog started.");
    for (const ServiceStatusEntry& service : s.services)
    {
        std::string labels = "{service=\"";
        appendLabelValue(labels, service.name);
        labels += "\"}";
        sample("zelvin_watchdog_status_changes_total", labels, std::to_string(service.changes));
    }
    return out;
}
