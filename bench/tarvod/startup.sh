#!/usr/bin/env bash
# Start-up of tarvod on one feed: seconds from exec until GET /healthz answers
# over HTTPS (the service listens only after every feed is loaded), and peak
# resident memory from /usr/bin/time -v after the service has answered one
# departures request. Each run uses a fresh XDG_DATA_HOME, so the first-start
# certificate generation is included.
#
#   bench/tarvod/startup.sh TARVOD FEED NOW [RUNS] [PORT] [LAT,LON]
# prints one line per run: ready_s maxrss_kb cpu_s (user + system CPU seconds of the whole run)
set -euo pipefail

tarvod=$1 feed=$2 now=$3 runs=${4:-5} port=${5:-18443} at=${6:-}
here=$(cd "$(dirname "$0")" && pwd)

for ((i = 1; i <= runs; i++)); do
  data=$(mktemp -d)
  log=$(mktemp)
  t0=$(date +%s.%N)
  XDG_DATA_HOME=$data /usr/bin/time -v -o "$log.time" \
    "$tarvod" --feed "bench=$feed" --listen "127.0.0.1:$port" --now "$now" >"$log" 2>&1 &
  timer=$!
  ready=
  for ((k = 0; k < 6000; k++)); do
    if curl -ks --max-time 1 -o /dev/null "https://127.0.0.1:$port/healthz"; then
      ready=$(date +%s.%N)
      break
    fi
    if ! kill -0 "$timer" 2>/dev/null; then break; fi
    sleep 0.02
  done
  if [[ -z $ready ]]; then
    echo "tarvod did not become ready:" >&2
    cat "$log" >&2
    exit 1
  fi
  if [[ -n $at ]]; then
    # One real query so the memory peak covers answering, not only loading.
    "$here/post.sh" "$port" "$at" >/dev/null
  fi
  server=$(pgrep -P "$timer" -x tarvod)
  kill -TERM "$server"
  wait "$timer" || true
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log.time")
  cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {printf "%.2f", s}' "$log.time")
  echo "$(echo "$ready - $t0" | bc -l | xargs printf '%.3f') $rss $cpu"
  rm -rf "$data" "$log" "$log.time"
done
