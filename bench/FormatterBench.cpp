// Cost of formatting one record for the log file and the console: the
// escaping formatter against POCO's PatternFormatter with the same pattern,
// on records with nothing to escape (ASCII, and UTF-8 beyond it) and on one
// with a control sequence, a bidi control and a byte that is not UTF-8. Also
// the journal's one-line form of the same texts.
#include "EscapingFormatter.h"

#include <Poco/AutoPtr.h>
#include <Poco/Message.h>
#include <Poco/PatternFormatter.h>

#include <benchmark/benchmark.h>

#include <string>

namespace
{

// The log file's pattern and times, as the utility library sets them up.
const std::string PATTERN = "%Y-%m-%d %H:%M:%S.%i [%p] %s: %t";

enum Text
{
    TEXT_ASCII = 0,
    TEXT_UTF8 = 1,
    TEXT_DIRTY = 2,
};

const std::string TEXTS[] = {
    "[WatchdogServerModule::feedWatchdog 80] feed process[example.exe]!\n",
    "[WatchdogServerModule::feedWatchdog 80] feed process[\xc3\x9c"
    "berwachung-\xe7\x9b\xa3\xe8\xa6\x96.exe]!\n",
    "[WatchdogServerModule::feedWatchdog 80] feed process[ex\x1b[2Jam\xe2\x80\xaeple\xff.exe]!\n",
};
const char* const LABELS[] = {"clean ASCII", "clean UTF-8", "dirty"};

template <typename Formatter> void formatRecord(benchmark::State& state)
{
    Poco::AutoPtr<Poco::PatternFormatter> pFormatter(new Formatter(PATTERN));
    pFormatter->setProperty(Poco::PatternFormatter::PROP_TIMES, "local");
    const Poco::Message msg("WTD", TEXTS[state.range(0)], Poco::Message::PRIO_INFORMATION);
    std::string line;
    for (auto _ : state)
    {
        line.clear();
        pFormatter->format(msg, line);
        benchmark::DoNotOptimize(line.data());
    }
    state.SetLabel(LABELS[state.range(0)]);
}

void BM_PatternFormatter(benchmark::State& state)
{
    formatRecord<Poco::PatternFormatter>(state);
}

void BM_EscapingFormatter(benchmark::State& state)
{
    formatRecord<zvlog::EscapingFormatter>(state);
}

void BM_JournalMessage(benchmark::State& state)
{
    const std::string& text = TEXTS[state.range(0)];
    for (auto _ : state)
        benchmark::DoNotOptimize(zvlog::escapedLine(text));
    state.SetLabel(LABELS[state.range(0)]);
}

} // namespace

BENCHMARK(BM_PatternFormatter)->DenseRange(TEXT_ASCII, TEXT_DIRTY);
BENCHMARK(BM_EscapingFormatter)->DenseRange(TEXT_ASCII, TEXT_DIRTY);
BENCHMARK(BM_JournalMessage)->DenseRange(TEXT_ASCII, TEXT_DIRTY);

BENCHMARK_MAIN();
