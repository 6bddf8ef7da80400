#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)" --target vantrel
# A copy started from here keeps its files in build/app. It does not ask the
# router to open the port unless router.dat there is changed to 1 (or Options >
# Open Port on Router is ticked).
[ -s build/app/router.dat ] || printf '0\r\n' >build/app/router.dat
exec build/app/vantrel "$@"
