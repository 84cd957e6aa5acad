#pragma once

// The timings of `net`, each overridable through the environment so tests and
// slow machines can adjust them. Values that are not plain non-negative
// integers fall back to the default.
struct NetSettings
{
    // How long a started service must stay up to count as started
    // ($ZELVIN_START_SETTLE_MS, default 200).
    int iStartSettleMs = 200;
    // How long `stop` waits after SIGTERM before SIGKILL
    // ($ZELVIN_STOP_TIMEOUT_MS, default 5000).
    int iStopTimeoutMs = 5000;
    // How long to wait for another `net` working on the same service
    // ($ZELVIN_LOCK_TIMEOUT_MS, default and ceiling 30000).
    int iLockTimeoutMs = 30000;
    // systemd: how long `start` waits for its start job to end
    // ($ZELVIN_START_TIMEOUT_MS, default 30000); `stop` waits for its job
    // at most iStopTimeoutMs.
    int iStartTimeoutMs = 30000;

    // Reads the variables above. Never throws.
    static NetSettings fromEnvironment();
};
