#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a temporary root and starts the
# installed program there, offscreen, with a home folder of its own: it must
# run in installed mode (its bin folder is read-only) and make its files in
# the user's data folder.
# Usage: tst_install_package.sh <build dir> <cpack> <version>
set -euo pipefail
build=$1
cpack=$2
tmp=$(mktemp -d)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  chmod -R u+w "$tmp" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The package, with its dependencies computed from the program's libraries.
"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$tmp"/pkg/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6widgets6 libqt6network6 libc6 libminiupnpc libnatpmp libavahi-client3; do
  grep -q "$lib" <<<"$depends" || fail "$lib is not among the dependencies"
done

root="$tmp/root"
dpkg -x "$deb" "$root"
for f in bin/vantrel share/vantrel/overview.htm \
  share/applications/net.orvane.Vantrel.desktop share/metainfo/net.orvane.Vantrel.metainfo.xml \
  share/icons/hicolor/scalable/apps/net.orvane.Vantrel.svg; do
  [ -f "$root/usr/$f" ] || fail "usr/$f is not in the package"
done
for s in 16 24 32 48 64 128 256; do
  [ -f "$root/usr/share/icons/hicolor/${s}x${s}/apps/net.orvane.Vantrel.png" ] ||
    fail "the ${s}x${s} icon is not in the package"
done
chmod -R a-w "$root/usr"

home="$tmp/home"
mkdir -p "$home/.config"
echo 'XDG_DOWNLOAD_DIR="$HOME/Incoming"' >"$home/.config/user-dirs.dirs"
run_env=(env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_DATA_HOME -u XDG_CONFIG_HOME
  HOME="$home" XDG_DATA_DIRS="$root/usr/share" QT_QPA_PLATFORM=offscreen)

# The installed program answers its command line.
[ "$("${run_env[@]}" "$root/usr/bin/vantrel" --version)" = "Vantrel $3" ] || fail "--version"

# Routers named on loopback: the program never looks for one on the network;
# nor does it announce itself or look for other copies.
"${run_env[@]}" "$root/usr/bin/vantrel" --upnp-url http://127.0.0.1:9/rootDesc.xml \
  --natpmp-gateway 127.0.0.2 --no-discovery >"$tmp/run.log" 2>&1 &
pid=$!
data="$home/.local/share/Vantrel"
for _ in $(seq 1 300); do
  [ -f "$data/opt.dne" ] && break
  kill -0 "$pid" 2>/dev/null || { cat "$tmp/run.log" >&2; fail "the program ended early"; }
  sleep 0.1
done
[ -f "$data/opt.dne" ] || { cat "$tmp/run.log" >&2; fail "no opt.dne in $data"; }
kill -0 "$pid" 2>/dev/null || fail "the program ended"
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=""

[ "$(od -An -c "$data/port.dat" | tr -d ' ')" = '7777\r\n' ] || fail "port.dat is not 7777 CR LF"
[ -f "$data/font.dat" ] && [ ! -s "$data/font.dat" ] || fail "font.dat is not an empty file"
[ ! -s "$data/opt.dne" ] || fail "opt.dne is not empty"
[ ! -e "$data/Recv" ] || fail "a Recv folder was made in the data folder"
[ ! -e "$home/Incoming" ] || fail "the download folder was made before any file arrived"
[ "$(ls -A "$root/usr/bin")" = "vantrel" ] || fail "something was written beside the program"
echo "installed mode: files made in $data"
