#!/usr/bin/env bash
# How the window answers under a flood from a hostile peer: one vantrel
# process (a client in its own folder, router.dat 0) under Xvfb and openbox,
# connected to flood_peer on 127.0.0.1, which floods it (see
# bench/flood_peer.cpp) and presses Return in the chat box during the flood.
# Prints how long the typed line took to show, and the peer's valid chat line
# after the flood's end, from the program's trace. Needs a build with
# -DVANTREL_BUILD_BENCH=ON.
#
#   bash bench/run_flood.sh BUILD_DIR fl|ok|chat [--legacy] [SHOT.png]
set -euo pipefail
build=$1
kind=$2
mode=${3:-}
shot=${4:-}
[[ $mode == *.png ]] && { shot=$mode; mode=""; }
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/client"
printf '%s\r\n' "$port" >"$work/client/port.dat"
printf 'Done\r\n' >"$work/client/opt.dne"
printf '0\r\n' >"$work/client/router.dat"

Xvfb :77 -screen 0 1000x700x24 -nolisten tcp >/dev/null 2>&1 &
export DISPLAY=:77
sleep 1
openbox >/dev/null 2>&1 &
"$build/bench/flood_peer" --port "$port" --kind "$kind" $mode >"$work/peer.txt" &
peer=$!
VANTREL_TRACE="$work/trace.txt" "$build/app/vantrel" --folder "$work/client" >/dev/null 2>&1 &
app=$!
for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --pid "$app" --name "Orvane Encryption Vantrel v3" 2>/dev/null | head -1 || true)
    [[ -n $id ]] && break
    sleep 0.1
done
xdotool windowmove --sync "$id" 20 20
sleep 0.5
xdotool windowfocus --sync "$id"
xdotool type --delay 1 127.0.0.1
xdotool key Return
sleep 4 # connected and decided
xdotool key Tab Tab Tab
xdotool type --delay 1 "probe line"
if [[ -n $shot ]]; then
    (sleep 0.5 && import -window root "$shot") &
fi
wait "$peer"
sleep 1
cat "$work/peer.txt"
python3 - "$work/peer.txt" "$work/trace.txt" <<'EOF'
import sys
peer = dict(l.split()[:2] for l in open(sys.argv[1]) if l.split()[0] in ("return", "end", "valid", "start"))
shown = {}
for line in open(sys.argv[2]):
    ts, event, text = (line.rstrip("\n").split(" ", 2) + [""])[:3]
    if event == "chat" and text not in shown:
        shown[text] = int(ts)
ret, end = int(peer["return"]), int(peer["end"])
probe = shown.get("<probe line>")
valid = shown.get("after the flood")
print("flood lasted %.0f ms" % ((end - int(peer["start"])) / 1e6))
print("typed line shown %s after Return" % ("%.0f ms" % ((probe - ret) / 1e6) if probe else "never"))
print("valid line shown %s after the flood's end" % ("%.0f ms" % ((valid - end) / 1e6) if valid else "never"))
EOF
