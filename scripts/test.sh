#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite
# headless, then the fuzz targets for a short while each.
set -euo pipefail
cd "$(dirname "$0")/.."
# The validators for the desktop entry and the AppStream description are
# needed by the tests only.
scripts/deps.sh appstream desktop-file-utils
cmake -S . -B build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_TESTS=ON
cmake --build build-tests -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build-tests --output-on-failure --timeout 600
# Then every fuzz target for 30 seconds (a finding fails the run).
scripts/fuzz.sh 30
