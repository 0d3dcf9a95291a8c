#!/usr/bin/env bash
# Sets up the machine, builds and runs the whole test suite: a warnings-as-errors build with the
# window, then an AddressSanitizer+UBSan build of the core with Qt switched off.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1
bash tools/build.sh build/ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISKO_WERROR=ON -DBRISKO_WITH_QT=ON
(cd build/ci && ctest -j "$jobs" --timeout 600)
# The print tests once more with the print queue given this machine's own file type filters
# (cups-filters, where installed), so they hold whichever way a user's CUPS is set up.
(cd build/ci && BRISKO_CUPS_SYSTEM_FILTERS=1 ctest -j "$jobs" --timeout 600 -R '^Print(Cups|Run)\.')
bash tools/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DBRISKO_WERROR=ON -DBRISKO_WITH_QT=OFF -DBRISKO_SANITIZE=ON
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest -j "$jobs" --timeout 900)
