#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when some are missing.
# Usage: scripts/deps.sh [extra-package ...]
# (bench/run_two_process.sh adds xvfb and xdotool, and linux-perf for --perf.)
set -euo pipefail
pkgs=(cmake g++ make pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libbenchmark-dev
      libsodium-dev libminiupnpc-dev libnatpmp-dev libavahi-client-dev fonts-dejavu-core
      dpkg-dev file dbus-daemon avahi-daemon iproute2 "$@")
# avahi-daemon is here only for the test that runs it inside a network
# namespace of its own (tests/platform/avahi_netns.sh); installing it must
# not start it on this machine's network. Without systemd, Debian starts a
# service on install through invoke-rc.d, which a policy-rc.d answering 101
# forbids.
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  policy=/usr/sbin/policy-rc.d
  made_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    made_policy=1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}" ||
    { [ -z "$made_policy" ] || $SUDO rm -f "$policy"; exit 1; }
  [ -z "$made_policy" ] || $SUDO rm -f "$policy"
fi
