#!/bin/bash
# Regenerates the user guide's pictures (docs/guide/images/*.png) from the program itself.
# Usage: tools/screenshots.sh [BUILD_DIR]   (default build/dev, configured with Qt)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
cmake --build "$build" --target brisko_screenshots
QT_QPA_PLATFORM=offscreen "$build/brisko_screenshots" "$root/docs/guide/images"
ls -l "$root/docs/guide/images"
