#!/usr/bin/env bash
# Sets up the machine, builds and starts the station: the window where a display exists,
# else the headless station. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
bash tools/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DBRISKO_TESTS=OFF
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/release/brisko-workflow --headless "$@"
fi
exec build/release/brisko-workflow "$@"
