#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Idempotent: asks apt-get only for what is missing. Runs as root, or through
# sudo when started as another user.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libpoco-dev libsystemd-dev systemd
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3 python3-pytest
  procps iproute2 util-linux
  dpkg-dev lintian
  prometheus prometheus-node-exporter
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# prometheus and prometheus-node-exporter are only programs for the tests,
# which start them with flags, ports and data folders of their own: their
# packaged services must not start (nor anything else installed here). A
# policy-rc.d that refuses every start stands for the install and is removed
# after it; one that was there before is left as it was.
POLICY=/usr/sbin/policy-rc.d
if [ ! -e "$POLICY" ]; then
  trap '$SUDO rm -f "$POLICY"' EXIT
  printf '#!/bin/sh\n# install-deps.sh: no service starts while it installs\nexit 101\n' | $SUDO tee "$POLICY" >/dev/null
  $SUDO chmod 755 "$POLICY"
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
