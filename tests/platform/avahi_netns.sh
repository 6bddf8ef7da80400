#!/usr/bin/env bash
# Runs the real-Avahi test (the program given as $1) inside a network and
# mount namespace made here: a private system bus (dbus-daemon) and an
# avahi-daemon that sees only a veth interface of that namespace. Nothing of
# it can reach a real interface: the daemon starts only after unshare, and
# only once the namespace is checked to hold nothing but lo and our veth pair.
# Where no namespace can be made, the test runs without a daemon and skips
# with the reason in VANTREL_AVAHI_SKIP.
set -euo pipefail
test_bin=$1
shift
args=("$@")

skip() {
  echo "avahi_netns: $*" >&2
  VANTREL_AVAHI_SKIP="$*" exec "$test_bin" "${args[@]}"
}

if [ "${VANTREL_AVAHI_INNER:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || skip "not root, so no network namespace can be made"
  command -v avahi-daemon >/dev/null || skip "avahi-daemon is not installed (scripts/deps.sh avahi-daemon)"
  command -v dbus-daemon >/dev/null || skip "dbus-daemon is not installed"
  unshare -n -m true 2>/dev/null || skip "this machine cannot make network namespaces (unshare -n -m failed)"
  exec unshare -n -m env VANTREL_AVAHI_INNER=1 bash "$0" "$test_bin" "$@"
fi

# ---- inside the namespaces
mount --make-rprivate /
# Our own /run: the daemons' sockets and pid files stay in this namespace.
mount -t tmpfs tmpfs /run
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ip link set lo up
# A veth pair of our own; the daemon uses one end, the other is its link.
ip link add vtest0 type veth peer name vtest1
ip link set vtest1 up
ip link set vtest0 up
ip addr add 192.0.2.1/24 dev vtest0
links=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
if [ "$links" != "lo vtest0 vtest1 " ]; then
  echo "avahi_netns: the namespace has other interfaces ($links); not starting avahi-daemon" >&2
  exit 1
fi

cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/system_bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
cat >"$work/avahi.conf" <<CONF
[server]
host-name=vantrel-test
use-ipv4=yes
use-ipv6=no
allow-interfaces=vtest0
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
CONF

dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile &
pids+=($!)
for _ in $(seq 1 100); do [ -S "$work/system_bus" ] && break; sleep 0.05; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus"

avahi-daemon -f "$work/avahi.conf" --no-drop-root --no-chroot --no-rlimits --no-proc-title \
  >"$work/avahi.log" 2>&1 &
avahi=$!
pids+=($avahi)

set +e
VANTREL_AVAHI_PID=$avahi "$test_bin" "$@"
rc=$?
set -e
[ $rc -eq 0 ] || { echo "---- avahi-daemon's log" >&2; cat "$work/avahi.log" >&2; }
exit $rc
