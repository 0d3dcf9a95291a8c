#!/bin/bash
# Starts the station under Xvfb with an AT-SPI bus and runs tools/accessibility_walk.py
# against it with the system Python (Debian: xvfb, at-spi2-core, python3-pyatspi).
# Usage: tools/accessibility_walk.sh [BUILD_DIR [STORE]]   (STORE: a settings store to copy, e.g. with a Print Files action)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "${2:-}" ] && cp "$2" "$work/settings.db"
export XDG_RUNTIME_DIR=$work XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 NO_AT_BRIDGE=0
exec xvfb-run -a dbus-run-session -- bash -c '
  /usr/libexec/at-spi-bus-launcher --launch-immediately &
  sleep 1
  "$0" --store "$1/settings.db" &
  station=$!
  /usr/bin/python3 "$2" brisko; rc=$?
  kill $station 2>/dev/null; wait $station 2>/dev/null
  exit $rc' "$build/brisko-workflow" "$work" "$root/tools/accessibility_walk.py"
