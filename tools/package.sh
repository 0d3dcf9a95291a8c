#!/usr/bin/env bash
# Builds the Debian package: build/package/brisko-workflow_<version>_<arch>.deb.
# Install it with: sudo apt install ./build/package/brisko-workflow_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
bash tools/build.sh build/package -DCMAKE_BUILD_TYPE=Release -DBRISKO_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
rm -f build/package/brisko-workflow_*.deb
(cd build/package && cpack -G DEB >/dev/null)
ls build/package/brisko-workflow_*.deb
