#!/usr/bin/env bash
# Builds the Debian package and installs it (optional; needs root or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF
cmake --build build-package -j"$(nproc)" --target vantrel
(cd build-package && cpack -G DEB)
deb=$(ls -t build-package/vantrel_*.deb | head -1)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get install -y "./$deb"
echo "Installed $deb: start Vantrel from the menu or with 'vantrel'."
