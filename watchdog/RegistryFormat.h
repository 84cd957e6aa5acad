#pragma once

#include "WatchProcess.h"

#include <map>
#include <string>
#include <string_view>

// The saved registry as bytes: a versioned text file, one line per record,
// that ends with a line giving the record count and a CRC-32 of everything
// before it, so a truncated or damaged file is told from a whole one.
//
//   ZelvinWatchdog registry<TAB>1
//   P<TAB>name<TAB>service<TAB>extra<TAB>pid<TAB>timeoutMs<TAB>restarts<TAB>grace<TAB>state
//   ...
//   end<TAB>count<TAB>crc32 (8 lower-case hex digits)
//
// Every line ends with LF. Names are bytes from the network: each text is
// written with every byte outside '!'..'~', and '%' itself, as %XX (upper
// case hex), so a text holds no blank, tab or line end and may be empty.
// Numbers are decimal. lastFeedMs is not kept: a restored record's last
// feed is the time of the restore.
namespace RegistryFormat
{

inline constexpr int VERSION = 1;

std::string write(const std::map<std::string, WatchProcess>& records);

struct Parsed
{
    std::map<std::string, WatchProcess> records; // lastFeedMs 0
    std::string error;                           // why the bytes cannot be used; empty when they can
    bool ok() const { return error.empty(); }
};

// The records of a saved registry, or the reason they cannot be used (not
// a saved registry, another version, truncated, damaged, a record out of
// bounds). Never throws.
Parsed read(std::string_view bytes);

} // namespace RegistryFormat
