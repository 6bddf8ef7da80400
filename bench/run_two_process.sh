#!/usr/bin/env bash
# Builds the program and the two-process benchmark (Release, build-bench/) and
# runs it: two vantrel processes under Xvfb, driven with xdotool, a file from
# one to the other next to a bare ping-pong of the same run.
#
#   bash bench/run_two_process.sh                        10 MB on 127.0.0.1
#   bash bench/run_two_process.sh --size 200000 --relay-delay-ms 25
#   bash bench/run_two_process.sh --perf /tmp/vantrel-perf
#   bash bench/run_two_process.sh --mode legacy --size 200000 --relay-delay-ms 25
#   bash bench/run_two_process.sh --size 200000000 --relay-delay-ms 25 --pingpong-blocks 0
#
# Every option is passed on to bench_two_process (see bench/two_process.cpp).
# The relay alone: build-bench/bench/vantrel_relay --to HOST:PORT [--listen P]
# [--delay-ms 25].
set -euo pipefail
cd "$(dirname "$0")/.."
extra=(xvfb xdotool)
[[ " $* " == *" --perf "* ]] && extra+=(linux-perf)
scripts/deps.sh "${extra[@]}"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target vantrel bench_two_process bench_pingpong vantrel_relay >/dev/null
exec build-bench/bench/bench_two_process "$@"
