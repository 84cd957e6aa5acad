#include "RegistryFormat.h"

#include "WatchdogMsg.h"

#include <Poco/Checksum.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace RegistryFormat
{
namespace
{

const std::string_view MAGIC = "ZelvinWatchdog registry\t";
const std::string_view RECORD_TAG = "P";
const std::string_view END_TAG = "end";
constexpr std::size_t RECORD_FIELDS = 9;
constexpr std::size_t END_FIELDS = 3;
const char HEX[] = "0123456789ABCDEF";

// The widths of the message's text fields: a record could never have come
// from a message with a longer text.
constexpr std::size_t NAME_MAX_BYTES = sizeof(WatchdogMsg::processName);
constexpr std::size_t SERVICE_MAX_BYTES = sizeof(WatchdogMsg::serviceName);
constexpr std::size_t EXTRA_MAX_BYTES = sizeof(WatchdogMsg::extraInfo);

bool isPlain(unsigned char c)
{
    return c >= '!' && c <= '~' && c != '%';
}

void appendText(std::string& out, const std::string& text)
{
    for (const unsigned char c : text)
    {
        if (isPlain(c))
        {
            out += static_cast<char>(c);
            continue;
        }
        out += '%';
        out += HEX[c >> 4];
        out += HEX[c & 0xF];
    }
}

void appendNumber(std::string& out, uint64_t value)
{
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    out.append(digits, result.ptr);
}

uint32_t crc32(std::string_view bytes)
{
    Poco::Checksum checksum(Poco::Checksum::TYPE_CRC32);
    checksum.update(bytes.data(), static_cast<unsigned>(bytes.size()));
    return checksum.checksum();
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> decodeText(std::string_view field, std::size_t maxBytes)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i)
    {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (isPlain(c))
            text += static_cast<char>(c);
        else if (c == '%' && i + 2 < field.size() && hexValue(field[i + 1]) >= 0 &&
                 hexValue(field[i + 2]) >= 0)
        {
            const char byte = static_cast<char>(hexValue(field[i + 1]) * 16 + hexValue(field[i + 2]));
            // A text ends at its first NUL on the wire, so none holds one.
            if (byte == '\0')
                return std::nullopt;
            text += byte;
            i += 2;
        }
        else
            return std::nullopt;
        if (text.size() > maxBytes)
            return std::nullopt;
    }
    return text;
}

// A plain decimal number, digits only, within `max`.
std::optional<uint32_t> decodeNumber(std::string_view field,
                                     uint32_t max = std::numeric_limits<uint32_t>::max())
{
    if (field.empty() || field.size() > 10)
        return std::nullopt;
    for (const char c : field)
        if (c < '0' || c > '9')
            return std::nullopt;
    uint64_t value = 0;
    std::from_chars(field.data(), field.data() + field.size(), value);
    if (value > max)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true)
    {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(
            line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos)
            return fields;
        start = tab + 1;
    }
}

std::optional<WatchProcess> decodeRecord(const std::vector<std::string_view>& fields)
{
    if (fields.size() != RECORD_FIELDS || fields[0] != RECORD_TAG)
        return std::nullopt;
    const auto name = decodeText(fields[1], NAME_MAX_BYTES);
    const auto service = decodeText(fields[2], SERVICE_MAX_BYTES);
    const auto extra = decodeText(fields[3], EXTRA_MAX_BYTES);
    const auto pid = decodeNumber(fields[4]);
    const auto timeout = decodeNumber(fields[5]);
    const auto restarts = decodeNumber(fields[6]);
    const auto grace = decodeNumber(fields[7], static_cast<uint32_t>(std::numeric_limits<int32_t>::max()));
    const auto state = decodeNumber(fields[8]);
    if (!name || !service || !extra || !pid || !timeout || !restarts || !grace || !state)
        return std::nullopt;
    if (*state != static_cast<uint32_t>(WatchState::Registered) &&
        *state != static_cast<uint32_t>(WatchState::Restarted))
        return std::nullopt;
    WatchProcess process;
    process.processName = *name;
    process.serviceName = *service;
    process.extraInfo = *extra;
    process.processId = *pid;
    process.timeoutMs = *timeout;
    process.restartCount = *restarts;
    process.graceCount = static_cast<int32_t>(*grace);
    process.watchState = static_cast<WatchState>(*state);
    process.lastFeedMs = 0;
    return process;
}

Parsed failed(std::string why)
{
    Parsed parsed;
    parsed.error = std::move(why);
    return parsed;
}

Parsed parse(std::string_view bytes)
{
    if (bytes.empty())
        return failed("is empty");
    if (bytes.substr(0, MAGIC.size()) != MAGIC)
        return failed("is not a saved registry");
    const std::size_t firstEnd = bytes.find('\n');
    if (firstEnd == std::string_view::npos)
        return failed("is truncated (no line after the version)");
    const std::string_view version = bytes.substr(MAGIC.size(), firstEnd - MAGIC.size());
    if (version != std::to_string(VERSION))
        return failed("comes from another version of the format (" + std::string(version.substr(0, 16)) +
                      ", this watchdog reads " + std::to_string(VERSION) + ")");
    if (bytes.back() != '\n')
        return failed("is truncated (its last line is incomplete)");

    // The end line is the last one; everything before it is checksummed.
    const std::size_t endStart = bytes.rfind('\n', bytes.size() - 2) + 1;
    const std::vector<std::string_view> end =
        splitFields(bytes.substr(endStart, bytes.size() - 1 - endStart));
    if (endStart <= firstEnd || end.size() != END_FIELDS || end[0] != END_TAG)
        return failed("is truncated (no end line)");
    const auto count = decodeNumber(end[1]);
    uint32_t expectedCrc = 0;
    const auto crcResult = std::from_chars(end[2].data(), end[2].data() + end[2].size(), expectedCrc, 16);
    if (!count || end[2].size() != 8 || crcResult.ptr != end[2].data() + end[2].size())
        return failed("has a damaged end line");
    if (crc32(bytes.substr(0, endStart)) != expectedCrc)
        return failed("is damaged (checksum mismatch)");

    Parsed parsed;
    std::size_t start = firstEnd + 1;
    std::size_t lineNumber = 2;
    while (start < endStart)
    {
        const std::size_t stop = bytes.find('\n', start);
        const auto process = decodeRecord(splitFields(bytes.substr(start, stop - start)));
        if (!process)
            return failed("has an invalid record on line " + std::to_string(lineNumber));
        if (!parsed.records.emplace(process->processName, *process).second)
            return failed("names a process twice (line " + std::to_string(lineNumber) + ")");
        start = stop + 1;
        ++lineNumber;
    }
    if (parsed.records.size() != *count)
        return failed("holds " + std::to_string(parsed.records.size()) + " records where its end line says " +
                      std::to_string(*count));
    return parsed;
}

} // namespace

std::string write(const std::map<std::string, WatchProcess>& records)
{
    std::string out;
    out.reserve(64 + records.size() * 96);
    out.append(MAGIC);
    appendNumber(out, VERSION);
    out += '\n';
    for (const auto& [name, process] : records)
    {
        out.append(RECORD_TAG);
        out += '\t';
        appendText(out, name);
        out += '\t';
        appendText(out, process.serviceName);
        out += '\t';
        appendText(out, process.extraInfo);
        for (const uint64_t value :
             {uint64_t(process.processId), uint64_t(process.timeoutMs), uint64_t(process.restartCount),
              uint64_t(process.graceCount < 0 ? 0 : process.graceCount), uint64_t(process.watchState)})
        {
            out += '\t';
            appendNumber(out, value);
        }
        out += '\n';
    }
    const uint32_t crc = crc32(out);
    out.append(END_TAG);
    out += '\t';
    appendNumber(out, records.size());
    out += '\t';
    for (int shift = 28; shift >= 0; shift -= 4)
        out += "0123456789abcdef"[(crc >> shift) & 0xF];
    out += '\n';
    return out;
}

Parsed read(std::string_view bytes)
{
    try
    {
        return parse(bytes);
    }
    catch (const std::exception& exc)
    {
        // Nothing in parse throws but allocation.
        return failed(std::string("cannot be read: ") + exc.what());
    }
}

} // namespace RegistryFormat
