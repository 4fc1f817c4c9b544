#!/usr/bin/env bash
# Runs the Windows build's tests under Wine: BUILD_DIR (default
# build-windows) must hold a configured and built cross-build.
set -euo pipefail

build="${1:-build-windows}"
jobs="${JOBS:-2}"

export WINEDEBUG=-all
WINEPREFIX="$(mktemp -d /tmp/relayhub-wine.XXXXXX)"
export WINEPREFIX
finish() {
  wineserver -k > /dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap finish EXIT

# Wine's server and its helper processes are started detached first: started
# by a test they would keep CTest's output pipe open and CTest would hang.
wineserver -w
setsid wineserver -p < /dev/null > /dev/null 2>&1
setsid wine wineboot < /dev/null > /dev/null 2>&1

cd "$build"
ctest --output-on-failure -j "$jobs" "${@:2}"
