#include "StatusFormat.h"

#include <algorithm>
#include <charconv>
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

// Appends runs of printable ASCII other than '"' and '\' at once, calls
// escape(out, c) for every other ASCII byte, appends longer well-formed
// sequences as they are and a replacement for each stray byte.
template <typename Escape> void appendEscaped(std::string& out, std::string_view bytes, Escape escape)
{
    const auto plain = [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; };
    for (std::size_t i = 0; i < bytes.size();)
    {
        std::size_t end = i;
        while (end < bytes.size() && plain(bytes[end]))
            ++end;
        if (end > i)
        {
            out.append(bytes.data() + i, end - i);
            i = end;
            continue;
        }
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

void appendNumber(std::string& out, int64_t value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    out.append(buffer, result.ptr);
}

void appendNumber(std::string& out, uint64_t value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    out.append(buffer, result.ptr);
}

void appendNumber(std::string& out, uint32_t value)
{
    appendNumber(out, static_cast<uint64_t>(value));
}

void appendNumber(std::string& out, int32_t value)
{
    appendNumber(out, static_cast<int64_t>(value));
}

void appendDigits(std::string& out, int64_t value, int width)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    out.append(static_cast<std::size_t>(std::max<std::ptrdiff_t>(0, width - (result.ptr - buffer))), '0');
    out.append(buffer, result.ptr);
}

// Milliseconds as seconds with three decimals, exactly: 1500 -> "1.500".
void appendSeconds(std::string& out, int64_t ms)
{
    if (ms < 0)
    {
        out += '-';
        ms = -ms;
    }
    appendNumber(out, ms / 1000);
    out += '.';
    appendDigits(out, ms % 1000, 3);
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
    // Days to a civil date (proleptic Gregorian), as in H. Hinnant's
    // chrono-compatible algorithms: no time zone, no locale, no allocation
    // but the result's.
    const int64_t ms = ((msSinceEpoch % 86400000) + 86400000) % 86400000;
    const int64_t days = (msSinceEpoch - ms) / 86400000 + 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    std::string out;
    out.reserve(24);
    appendDigits(out, year, 4);
    out += '-';
    appendDigits(out, month, 2);
    out += '-';
    appendDigits(out, day, 2);
    out += 'T';
    appendDigits(out, ms / 3600000, 2);
    out += ':';
    appendDigits(out, ms / 60000 % 60, 2);
    out += ':';
    appendDigits(out, ms / 1000 % 60, 2);
    out += '.';
    appendDigits(out, ms % 1000, 3);
    out += 'Z';
    return out;
}

std::string StatusFormat::json(const StatusSnapshot& s)
{
    std::string out;
    out.reserve(512 + s.processes.size() * 256);
    out += "{\n  \"version\": ";
    appendJsonString(out, s.version);
    out += ",\n  \"pid\": ";
    appendNumber(out, s.pid);
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
        out += ", \"graceCount\": ";
        appendNumber(out, p.graceCount);
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
    // repeat them. The vector does not grow after its reservation, so views
    // of its strings stay valid.
    std::vector<std::string> vecLabels(s.processes.size());
    for (std::size_t i = 0; i < s.processes.size(); ++i)
    {
        std::string& labels = vecLabels[i];
        labels.reserve(48 + s.processes[i].name.size() + s.processes[i].service.size());
        labels += "{process=\"";
        appendLabelValue(labels, s.processes[i].name);
        labels += "\",service=\"";
        appendLabelValue(labels, s.processes[i].service);
        labels += "\"}";
    }
    std::unordered_set<std::string_view> setSeen(vecLabels.size() * 2);
    for (std::string& labels : vecLabels)
    {
        if (setSeen.count(labels) != 0)
        {
            const std::size_t cut = labels.find("\",service=\"");
            const std::string head = labels.substr(0, cut);
            const std::string tail = labels.substr(cut);
            for (int n = 2; setSeen.count(labels) != 0; ++n)
                labels = head + " #" + std::to_string(n) + tail;
        }
        setSeen.insert(labels);
    }

    std::string out;
    out.reserve(2048 + s.processes.size() * 3 * 96);
    const auto plain = [&out](const char* name, const auto& value)
    {
        out += name;
        out += ' ';
        appendNumber(out, value);
        out += '\n';
    };
    const auto seconds = [&out](const char* name, std::string_view labels, int64_t ms)
    {
        out += name;
        out += labels;
        out += ' ';
        appendSeconds(out, ms);
        out += '\n';
    };

    appendFamily(out, "zelvin_watchdog_start_time_seconds", "gauge",
                 "When the watchdog started, in seconds since 1970.");
    seconds("zelvin_watchdog_start_time_seconds", "", s.startedAtMs);
    appendFamily(out, "zelvin_watchdog_passes_total", "counter", "Passes of the watchdog's worker loop.");
    plain("zelvin_watchdog_passes_total", s.passes);
    appendFamily(out, "zelvin_watchdog_last_pass_seconds", "gauge", "Length of the last pass.");
    seconds("zelvin_watchdog_last_pass_seconds", "", s.lastPassMs);
    appendFamily(out, "zelvin_watchdog_clients", "gauge", "Open client connections.");
    plain("zelvin_watchdog_clients", s.clients);
    appendFamily(out, "zelvin_watchdog_processes", "gauge", "Watched-process records.");
    plain("zelvin_watchdog_processes", static_cast<uint64_t>(s.processes.size()));

    appendFamily(out, "zelvin_watchdog_feed_age_seconds", "gauge",
                 "Time since the process's last feed, registration or restart.");
    for (std::size_t i = 0; i < s.processes.size(); ++i)
        seconds("zelvin_watchdog_feed_age_seconds", vecLabels[i], s.processes[i].lastFeedAgeMs);
    appendFamily(out, "zelvin_watchdog_timeout_seconds", "gauge",
                 "The process's feed timeout; +Inf for a record that never expires.");
    for (std::size_t i = 0; i < s.processes.size(); ++i)
    {
        if (s.processes[i].timeoutMs)
            seconds("zelvin_watchdog_timeout_seconds", vecLabels[i], *s.processes[i].timeoutMs);
        else
        {
            out += "zelvin_watchdog_timeout_seconds";
            out += vecLabels[i];
            out += " +Inf\n";
        }
    }
    appendFamily(out, "zelvin_watchdog_restarts_total", "counter",
                 "Restarts of the process since its record was registered or restored.");
    for (std::size_t i = 0; i < s.processes.size(); ++i)
    {
        out += "zelvin_watchdog_restarts_total";
        out += vecLabels[i];
        out += ' ';
        appendNumber(out, s.processes[i].restarts);
        out += '\n';
    }

    const auto serviceSamples = [&](const char* name, auto value)
    {
        for (const ServiceStatusEntry& service : s.services)
        {
            out += name;
            out += "{service=\"";
            appendLabelValue(out, service.name);
            out += "\"} ";
            appendNumber(out, value(service));
            out += '\n';
        }
    };
    appendFamily(out, "zelvin_watchdog_service_status", "gauge",
                 "Status of a dependent service: 0 running, 1 stop, 2 unregistered, 3 exception.");
    // As the log prints them: any other code is an exception.
    serviceSamples("zelvin_watchdog_service_status", [](const ServiceStatusEntry& service)
                   { return service.status >= 0 && service.status <= 3 ? service.status : int32_t(3); });
    appendFamily(out, "zelvin_watchdog_status_changes_total", "counter",
                 "Status changes of a dependent service since the watchdog started.");
    serviceSamples("zelvin_watchdog_status_changes_total",
                   [](const ServiceStatusEntry& service) { return service.changes; });
    return out;
}
