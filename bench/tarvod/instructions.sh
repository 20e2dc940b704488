#!/usr/bin/env bash
# Instructions per POST /v2/nearby/ request over keep-alive HTTPS, the whole server side in user
# space (HTTP, TLS, engine, reply writer): tarvod runs under callgrind with instrumentation off
# until the feed is loaded, then wrk -t1 -c4 runs for SECS while it is on. Independent of the
# machine's load. Note that valgrind counts a `rep movsb` copy once per byte, so large copies
# weigh more here than in time.
#   bench/tarvod/instructions.sh TARVOD FEED NOW LAT,LON [SECS]
set -euo pipefail
tarvod=$1 feed=$2 now=$3 at=$4 secs=${5:-20}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/ready.sh"
port=${BENCH_PORT:-18700}
data=$(mktemp -d)
XDG_DATA_HOME=$data valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$data/cg.out" \
  "$tarvod" --feed "bench=$feed" --listen 127.0.0.1:$port --now "$now" >"$data/log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid; rm -rf "$data"' EXIT
wait_ready $port $pid "$data/log"
load() { BENCH_AT=$at wrk -t1 -c4 -d"$1" -s "$here/nearby.lua" https://127.0.0.1:$port/; }
load 3s >/dev/null  # connections and first-use allocations out of the count
callgrind_control -i on $pid >/dev/null 2>&1
requests=$(load "${secs}s" | awk '/requests in/ { print $1 }')
callgrind_control -i off $pid >/dev/null 2>&1
callgrind_control -d $pid >/dev/null 2>&1
# The dump is written when an event-loop thread next wakes.
for _ in 1 2 3; do curl -ks -o /dev/null https://127.0.0.1:$port/healthz; done
sleep 2
instructions=$(callgrind_annotate "$(ls -S "$data"/cg.out* | head -1)" | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
echo "$tarvod: $requests requests, $instructions instructions, $((instructions / requests)) per request"
