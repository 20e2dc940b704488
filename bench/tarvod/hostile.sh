#!/usr/bin/env bash
# tarvod under load and under attack, with a /healthz prober throughout:
# wrk at 16, 64 and 1,024 connections, then 2,000 idle connections, 100 slowloris
# connections and wrk at 64 connections all at once.
#   bench/tarvod/hostile.sh TARVOD FEED NOW LAT,LON [SECONDS]
set -euo pipefail
tarvod=$1 feed=$2 now=$3 at=$4 secs=${5:-30}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/ready.sh"
port=${BENCH_PORT:-18443}  # another port when the last run's closed connections still hold this one
ulimit -n "$(ulimit -Hn)"

data=$(mktemp -d)
XDG_DATA_HOME=$data "$tarvod" --feed "bench=$feed" --listen 127.0.0.1:$port --now "$now" >"$data/log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null && wait $pid; rm -rf "$data"' EXIT
wait_ready $port $pid "$data/log"
"$here/post.sh" $port "$at" | grep -q '"error":false' || { echo "no departures at $at" >&2; exit 1; }

tick=$(getconf CLK_TCK)
cpu() { awk -v t="$tick" '{print ($14 + $15) / t}' "/proc/$pid/stat"; }
load() {  # connections
  echo "### wrk -c$1, load before $(cut -d' ' -f1-3 /proc/loadavg)"
  python3 "$here/hostile.py" probe $port "$secs" &
  local prober=$! c0 c1
  c0=$(cpu)
  BENCH_AT=$at wrk -t2 -c"$1" -d"${secs}s" --timeout 10s --latency -s "$here/nearby.lua" \
    "https://127.0.0.1:$port/" | grep -E 'Requests/sec|99%|Socket errors|Non-2xx|requests in'
  c1=$(cpu)
  echo "tarvod CPU seconds: $(echo "$c1 - $c0" | bc -l)"
  wait $prober
}
for c in 16 64 1024; do load "$c"; done

echo "### siege: 2,000 idle + 100 slowloris + wrk -c64"
python3 "$here/hostile.py" siege $port $((secs + 10)) 2000 100 &
siege=$!
sleep 8  # let the idle and slow connections open
load 64
wait $siege
echo "tarvod still running: $(kill -0 $pid && echo yes), RSS $(awk '/VmRSS/ {print $2, $3}' /proc/$pid/status)"
