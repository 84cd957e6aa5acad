// The snapshot's two renderings and the files they go to. JSON is read back
// with POCO's parser and with wdctl's own; the exposition format is checked
// line by line here and by the real node exporter end to end.
#include "StatusFormat.h"
#include "StatusFiles.h"
#include "StatusJson.h"
#include "fakes/CapturingChannel.h"
#include "fakes/TestSupport.h"

#include <Poco/JSON/Parser.h>
#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>

namespace
{
const std::string FFFD = "\xEF\xBF\xBD";

struct Escape
{
    std::string bytes;
    std::string json;  // as appendJsonString writes it
    std::string label; // as appendLabelValue writes it
};

TEST(StatusFormatTest, EscapesNamesForJsonAndLabels)
{
    const std::vector<Escape> table = {
        {"Plain.exe", "\"Plain.exe\"", "Plain.exe"},
        {"a\"b\\c", "\"a\\\"b\\\\c\"", "a\\\"b\\\\c"},
        {"l\nf", "\"l\\nf\"", "l\\nf"},
        {"\t\r\b\f", "\"\\t\\r\\b\\f\"", "\t\r\b\f"},
        {"\x01\x1f\x7f", "\"\\u0001\\u001f\x7f\"", "\x01\x1f\x7f"},
        {"\x1b[31m", "\"\\u001b[31m\"", "\x1b[31m"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {FFFD, "\"" + FFFD + "\"", FFFD},
        {"x\xFFy", "\"x" + FFFD + "y\"", "x" + FFFD + "y"},
        {"\xC3", "\"" + FFFD + "\"", FFFD},                                     // cut short
        {"\xE2\x82", "\"" + FFFD + FFFD + "\"", FFFD + FFFD},                   // cut short
        {"\xC0\xAF", "\"" + FFFD + FFFD + "\"", FFFD + FFFD},                   // overlong '/'
        {"\xED\xA0\x80", "\"" + FFFD + FFFD + FFFD + "\"", FFFD + FFFD + FFFD}, // a surrogate
        {"\xF4\x90\x80\x80", "\"" + FFFD + FFFD + FFFD + FFFD + "\"",
         FFFD + FFFD + FFFD + FFFD}, // > U+10FFFF
        {"\x80\"", "\"" + FFFD + "\\\"\"", FFFD + "\\\""},
        {"\xF1\x7F\x80\x80", "\"" + FFFD + "\x7F" + FFFD + FFFD + "\"",
         FFFD + "\x7F" + FFFD + FFFD}, // 7F is no tail
    };
    for (const Escape& row : table)
    {
        std::string json;
        StatusFormat::appendJsonString(json, row.bytes);
        EXPECT_EQ(json, row.json) << row.bytes;
        std::string label;
        StatusFormat::appendLabelValue(label, row.bytes);
        EXPECT_EQ(label, row.label) << row.bytes;
        // Both readers agree on what the JSON string holds.
        EXPECT_EQ(parseJson(json).strText, StatusFormat::validUtf8(row.bytes)) << row.bytes;
        const auto array = Poco::JSON::Parser().parse("[" + json + "]").extract<Poco::JSON::Array::Ptr>();
        EXPECT_EQ(array->getElement<std::string>(0), StatusFormat::validUtf8(row.bytes)) << row.bytes;
    }
}

TEST(StatusFormatTest, TimesAreRfc3339InUtc)
{
    EXPECT_EQ(StatusFormat::rfc3339(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(StatusFormat::rfc3339(1714564800123), "2024-05-01T12:00:00.123Z");
    EXPECT_EQ(StatusFormat::rfc3339(4102444799999), "2099-12-31T23:59:59.999Z");
}

StatusSnapshot sample()
{
    StatusSnapshot s;
    s.version = "1.2.3";
    s.pid = 4321;
    s.startedAtMs = 1714564800000;
    s.updatedAtMs = 1714564860500;
    s.serviceManager = "systemd";
    s.passes = 400;
    s.lastPassMs = 151;
    s.clients = 2;
    s.processes.push_back({"dup\xFF", "svc", 10, 5000, 1000, false, 0, 0, std::nullopt});
    s.processes.push_back({"dup\xFE", "svc", 11, std::nullopt, 2000, true, 3, 7, 1714564850250});
    s.processes.push_back({"dup" + FFFD, "svc", 12, 1500, 0, false, 0, 1, 1714564855000});
    s.services.push_back({"DUZI", 0, 1714564800100, 0, std::nullopt});
    s.services.push_back({"VADA", 1, 1714564830000, 2, std::string("VADA_DOG")});
    s.services.push_back({"Odd", 9, 1714564800100, 0, std::nullopt});
    return s;
}

TEST(StatusFormatTest, JsonHoldsEveryFieldAndReadsBackTheSame)
{
    const std::string text = StatusFormat::json(sample());
    const std::string name = "\"name\": \"dup\xEF\xBF\xBD\", \"service\": \"svc\", \"pid\": ";
    EXPECT_EQ(
        text,
        "{\n  \"version\": \"1.2.3\",\n  \"pid\": 4321,\n"
        "  \"startedAt\": \"2024-05-01T12:00:00.000Z\",\n  \"updatedAt\": \"2024-05-01T12:01:00.500Z\",\n"
        "  \"serviceManager\": \"systemd\",\n  \"passes\": 400,\n  \"lastPassMs\": 151,\n"
        "  \"clients\": 2,\n  \"processes\": [\n    {" +
            name +
            "10, \"timeoutMs\": 5000, \"lastFeedAgeMs\": 1000, \"state\": \"watching\", "
            "\"graceCount\": 0, \"restarts\": 0, \"lastRestartAt\": null},\n    {" +
            name +
            "11, \"timeoutMs\": null, \"lastFeedAgeMs\": 2000, \"state\": \"restarted\", "
            "\"graceCount\": 3, \"restarts\": 7, \"lastRestartAt\": \"2024-05-01T12:00:50.250Z\"},\n"
            "    {" +
            name +
            "12, \"timeoutMs\": 1500, \"lastFeedAgeMs\": 0, \"state\": \"watching\", "
            "\"graceCount\": 0, \"restarts\": 1, \"lastRestartAt\": \"2024-05-01T12:00:55.000Z\"}\n"
            "  ],\n  \"services\": [\n"
            "    {\"name\": \"DUZI\", \"status\": \"running\", \"changedAt\": "
            "\"2024-05-01T12:00:00.100Z\", \"suppressedBy\": null},\n"
            "    {\"name\": \"VADA\", \"status\": \"stop\", \"changedAt\": "
            "\"2024-05-01T12:00:30.000Z\", \"suppressedBy\": \"VADA_DOG\"},\n"
            "    {\"name\": \"Odd\", \"status\": \"exception\", \"changedAt\": "
            "\"2024-05-01T12:00:00.100Z\", \"suppressedBy\": null}\n  ]\n}\n");
    // POCO's parser reads it; wdctl's reader and writer give back the text.
    EXPECT_NO_THROW(Poco::JSON::Parser().parse(text));
    EXPECT_EQ(writeJson(parseJson(text)), text);
}

TEST(StatusFormatTest, MetricsHaveEveryFamilyOnceAndNoSeriesTwice)
{
    const std::string text = StatusFormat::metrics(sample());
    const std::vector<std::string> expected = {
        "zelvin_watchdog_start_time_seconds 1714564800.000",
        "zelvin_watchdog_passes_total 400",
        "zelvin_watchdog_last_pass_seconds 0.151",
        "zelvin_watchdog_clients 2",
        "zelvin_watchdog_processes 3",
        "zelvin_watchdog_feed_age_seconds{process=\"dup" + FFFD + "\",service=\"svc\"} 1.000",
        "zelvin_watchdog_feed_age_seconds{process=\"dup" + FFFD + " #2\",service=\"svc\"} 2.000",
        "zelvin_watchdog_feed_age_seconds{process=\"dup" + FFFD + " #3\",service=\"svc\"} 0.000",
        "zelvin_watchdog_timeout_seconds{process=\"dup" + FFFD + "\",service=\"svc\"} 5.000",
        "zelvin_watchdog_timeout_seconds{process=\"dup" + FFFD + " #2\",service=\"svc\"} +Inf",
        "zelvin_watchdog_timeout_seconds{process=\"dup" + FFFD + " #3\",service=\"svc\"} 1.500",
        "zelvin_watchdog_restarts_total{process=\"dup" + FFFD + " #2\",service=\"svc\"} 7",
        "zelvin_watchdog_service_status{service=\"DUZI\"} 0",
        "zelvin_watchdog_service_status{service=\"VADA\"} 1",
        "zelvin_watchdog_service_status{service=\"Odd\"} 3",
        "zelvin_watchdog_status_changes_total{service=\"VADA\"} 2",
    };
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    for (const std::string& line : expected)
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;

    // Each family: # HELP, # TYPE, then its samples and nothing else until
    // the next family.
    std::set<std::string> families;
    std::string current;
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        if (lines[i].rfind("# HELP ", 0) == 0)
        {
            current = lines[i].substr(7, lines[i].find(' ', 7) - 7);
            EXPECT_TRUE(families.insert(current).second) << current;
            ASSERT_LT(i + 1, lines.size());
            EXPECT_EQ(lines[i + 1].rfind("# TYPE " + current + " ", 0), 0u) << lines[i + 1];
            ++i;
            continue;
        }
        EXPECT_EQ(lines[i].rfind(current, 0), 0u) << lines[i];
        EXPECT_TRUE(lines[i][current.size()] == ' ' || lines[i][current.size()] == '{') << lines[i];
    }
    EXPECT_EQ(families.size(), 10u);
    EXPECT_EQ(text.back(), '\n');
}

TEST(StatusFilesTest, ReplacesBothFilesReadableByAllAndReportsAMissingFolderOnce)
{
    const testsupport::TempDir dir;
    LogCapture diag("Watchdog");
    const mode_t savedMask = ::umask(077);
    const auto runtime = dir.path() / "run" / "zelvin-watchdog"; // created when missing
    const auto metrics = dir.path() / "textfile";                // not created
    StatusFiles files(runtime.string(), metrics.string());
    StatusSnapshot s = sample();
    files.write(s);
    files.write(s);
    EXPECT_EQ(testsupport::readFile(runtime / "status.json"), StatusFormat::json(s));
    EXPECT_FALSE(std::filesystem::exists(metrics));
    EXPECT_EQ(diag->records().size(), 1u) << "one record for two failed writes";

    std::filesystem::create_directories(metrics);
    s.passes = 401;
    files.write(s);
    EXPECT_EQ(testsupport::readFile(runtime / "status.json"), StatusFormat::json(s));
    EXPECT_EQ(testsupport::readFile(metrics / "zelvin_watchdog.prom"), StatusFormat::metrics(s));
    for (const auto& file : {runtime / "status.json", metrics / "zelvin_watchdog.prom"})
    {
        struct stat st;
        EXPECT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << file;
    }
    // Nothing but the two files is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(runtime), {}), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(metrics), {}), 1);

    std::filesystem::remove_all(metrics);
    files.write(s);
    EXPECT_EQ(diag->records().size(), 2u) << "reported again after a success";
    ::umask(savedMask);
}

} // namespace
