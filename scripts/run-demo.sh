#!/usr/bin/env bash
# Runs the watchdog in the foreground with the demo configuration and demo
# service folder from the build tree, then stops the demo services it started.
# Usage: scripts/run-demo.sh [build dir]
set -u
build="$(cd "${1:-build}" && pwd)"
export PATH="$build/bin:$PATH"
export ZELVIN_CONFIG_DIR="$build/demo/etc"
export ZELVIN_SERVICE_DIR="$build/demo/services"

echo "Watchdog log: $build/demo/log/Watchdog.log   (Ctrl-C stops the watchdog)"
# The demo product server is no dependent service: start it once the
# watchdog listens, as the product's own start-up would.
( sleep 1; net start DemoServer >/dev/null && echo "demo: started service DemoServer" ) &

# Ctrl-C reaches the whole foreground group; the watchdog handles it and this
# script lives on to clean up. The watchdog runs in the foreground because a
# background job of a script would ignore SIGINT.
trap 'true' INT TERM
"$build/bin/REdodevaz"
rc=$?
wait

for svc in "$ZELVIN_SERVICE_DIR"/*/; do
  name="$(basename "$svc")"
  if [ -f "$svc/pid" ]; then
    net stop "$name" >/dev/null 2>&1 && echo "demo: stopped service $name"
  fi
done
exit $rc
