#!/usr/bin/env bash
# Two or more tarvod builds under the same keep-alive load, taken in turns so that a busy
# spell of a shared machine falls on each of them alike: wrk -t2 -cCONNS for SECS per run,
# ROUNDS rounds. One line per run: requests per second, p99, and tarvod's own CPU time per
# request (utime + stime from /proc), which depends less on what else runs.
#   bench/tarvod/alternate.sh ROUNDS SECS CONNS FEED NOW LAT,LON TARVOD...
set -euo pipefail
rounds=$1 secs=$2 conns=$3 feed=$4 now=$5 at=$6
shift 6
here=$(cd "$(dirname "$0")" && pwd)
source "$here/ready.sh"
port=${BENCH_PORT:-18600}
tick=$(getconf CLK_TCK)

run() {  # tarvod port
  local data pid c0 c1 out
  data=$(mktemp -d)
  XDG_DATA_HOME=$data "$1" --feed "bench=$feed" --listen 127.0.0.1:$2 --now "$now" >"$data/log" 2>&1 &
  pid=$!
  wait_ready $2 $pid "$data/log"
  c0=$(awk -v t="$tick" '{print ($14 + $15) / t}' /proc/$pid/stat)
  out=$(BENCH_AT=$at wrk -t2 -c"$conns" -d"${secs}s" --latency -s "$here/nearby.lua" https://127.0.0.1:$2/)
  c1=$(awk -v t="$tick" '{print ($14 + $15) / t}' /proc/$pid/stat)
  kill $pid && wait $pid || true
  rm -rf "$data"
  echo "$out" | awk -v b="$1" -v load="$(cut -d' ' -f1 /proc/loadavg)" -v cpu="$(echo "$c1 - $c0" | bc -l)" '
    /Requests\/sec/ { rps = $2 } $1 == "99%" { p99 = $2 } /requests in/ { n = $1 }
    /Socket errors|Non-2xx/ { errors = errors " " $0 }
    END { printf "%s load %s: %.0f req/s, p99 %s, %.0f µs CPU per request%s\n", b, load, rps, p99, cpu * 1e6 / n, errors }'
}

for _ in $(seq "$rounds"); do
  for tarvod in "$@"; do
    port=$((port + 1))
    run "$tarvod" $port
  done
done
