#pragma once

#include "StatusWriter.h"

#include <memory>
#include <optional>
#include <string>

// The real StatusWriter. Each write replaces status.json in the runtime
// folder (created when missing) and, when a metrics folder is given,
// zelvin_watchdog.prom there (StatusFormat's two renderings). Each file is
// written whole under a temporary name in its own folder, one the node
// exporter's textfile collector does not read (it reads *.prom only), and
// renamed over the old one: a reader sees the old file or the new, never a
// part. Both are made readable by everyone (0644) whatever the process's
// umask, since the exporter and wdctl may run as other users.
//
// A failure is logged on the "Watchdog" logger once, and again only when it
// changes or after the file could be written in between; the next write tries
// again.
class StatusFiles : public StatusWriter
{
public:
    static constexpr const char* STATUS_FILE = "status.json";
    static constexpr const char* METRICS_FILE = "zelvin_watchdog.prom";

    // Folders as given; none: that file is not written.
    StatusFiles(std::optional<std::string> runtimeDir, std::optional<std::string> metricsDir);

    // The runtime folder by runtimeFolder() (none, and one error record, when
    // it cannot be found) and the metrics folder from $ZELVIN_METRICS_DIR
    // (none when unset or empty). Read once, here.
    static std::unique_ptr<StatusFiles> fromEnvironment();

    void write(const StatusSnapshot& snapshot) override;

private:
    struct Target
    {
        std::optional<std::string> folder;
        bool createFolder = false;
        std::string lastError; // as last logged; empty after a success
    };

    // Writes `content` to `name` in the target's folder through a temporary
    // file and a rename. Logs as the class comment says.
    void replace(Target& target, const char* name, const std::string& content);

    Target m_runtime;
    Target m_metrics;
};
