#!/bin/bash
# Sets up a station from an empty store through the window alone (tools/new_station_walk.py)
# under Xvfb with an AT-SPI bus (Debian: xvfb, at-spi2-core, python3-pyatspi, imagemagick for
# the screenshots). Not part of ctest: it drives a real window and takes some seconds.
# Usage: tools/new_station_walk.sh [BUILD_DIR] [SCREENSHOT_FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
shots=${2:-}
jpeg=$root/tests/data/jpeg/ljt/testorig.jpg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR=$work XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 NO_AT_BRIDGE=0
exec xvfb-run -a -s "-screen 0 1280x900x24" dbus-run-session -- bash -c '
  /usr/libexec/at-spi-bus-launcher --launch-immediately &
  sleep 1
  "$0" --store "$1/settings.db" &
  station=$!
  /usr/bin/python3 "$2" "$1" "$3" "$4"; rc=$?
  kill $station 2>/dev/null; wait $station 2>/dev/null
  exit $rc' "$build/brisko-workflow" "$work" "$root/tools/new_station_walk.py" "$jpeg" "$shots"
