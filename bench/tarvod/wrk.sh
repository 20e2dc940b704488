#!/usr/bin/env bash
# Requests per second and latency of POST /v2/nearby/ over loopback HTTPS
# keep-alive with wrk (2 threads, 32 connections), against an already
# running tarvod. Also prints the CPU seconds tarvod used during the run.
#   bench/tarvod/wrk.sh PID PORT LAT,LON [SECONDS]
set -euo pipefail
pid=$1 port=$2 at=$3 secs=${4:-30}
here=$(cd "$(dirname "$0")" && pwd)
tick=$(getconf CLK_TCK)
cpu() { awk -v t="$tick" '{print ($14 + $15) / t}' "/proc/$pid/stat"; }

# The point must have departures: a NOTRIPS/NOSTOPS envelope would be cheap.
"$here/post.sh" "$port" "$at" | python3 -c '
import json, sys
j = json.load(sys.stdin)
n = len(j.get("stopDates", []))
m = len(j.get("stopDatesNearby", []))
print("check: error=%s stopDates=%d stopDatesNearby=%d" % (j["error"], n, m))
sys.exit(0 if not j["error"] and n > 0 else 1)'
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
c0=$(cpu)
BENCH_AT=$at wrk -t2 -c32 -d"${secs}s" --latency -s "$here/nearby.lua" "https://127.0.0.1:$port/"
c1=$(cpu)
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "tarvod CPU seconds during the run: $(echo "$c1 - $c0" | bc -l)"
