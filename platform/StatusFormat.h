#pragma once

#include "StatusWriter.h"

#include <cstdint>
#include <string>
#include <string_view>

// The two renderings of a StatusSnapshot: status.json and the Prometheus text
// exposition format. Pure functions, the same on every system.
//
// Names come from the network and are bytes, not necessarily UTF-8. Both
// renderings write every byte that is not part of a well-formed UTF-8
// sequence as U+FFFD (the replacement character, bytes EF BF BD), one per
// byte; well-formed sequences, including U+FFFD itself, pass unchanged. So
// both files are valid UTF-8 whatever a client sent, and two names that
// differ only in such bytes read the same.
namespace StatusFormat
{
// `bytes` with every byte outside a well-formed UTF-8 sequence replaced by
// U+FFFD.
std::string validUtf8(std::string_view bytes);

// `bytes` as a JSON string, quotes included: valid UTF-8 as above; '"', '\'
// and the control characters below 0x20 escaped (\n, \t, \r, \b, \f, else
// \u00XX); everything else as it is.
void appendJsonString(std::string& out, std::string_view bytes);

// `bytes` as a label value of the text exposition format, without quotes:
// valid UTF-8 as above; '\', '"' and line feed escaped as \\, \" and \n,
// which is all the format escapes.
void appendLabelValue(std::string& out, std::string_view bytes);

// Milliseconds since 1970 as RFC 3339 in UTC with milliseconds:
// "2024-05-01T12:00:00.123Z".
std::string rfc3339(int64_t msSinceEpoch);

// status.json: one object with the snapshot's fields; one line per process
// and per service so that it reads well in a terminal.
std::string json(const StatusSnapshot& snapshot);

// zelvin_watchdog.prom: every metric family with # HELP and # TYPE, no
// timestamps (the textfile collector refuses them). A process whose labels,
// once made valid UTF-8, equal those of one written before it gets " #2"
// (" #3", ...) after its process label, so no series is written twice.
std::string metrics(const StatusSnapshot& snapshot);
} // namespace StatusFormat
