#pragma once

#include <string>

// Where the benchmarks' log records go. Each call replaces the channels of
// every logger; call it from the benchmark's thread before timing.
namespace BenchLog
{
enum Sink
{
    SINK_NULL = 0,       // a channel that drops every record
    SINK_FILE_FLUSH = 1, // the watchdog's own set-up: file channel, flushed per record
    SINK_FILE = 2,       // the same file channel without the per-record flush
};

// Sets up `sink` at level information. The file sinks go through the utility
// library's ZV_InitLog with a configuration in a temporary folder, removed at
// exit. Throws std::runtime_error when the file cannot be set up.
void use(Sink sink);

const char* name(Sink sink);
} // namespace BenchLog
