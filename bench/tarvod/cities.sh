#!/usr/bin/env bash
# Start-up of tarvod on many cities and on one city of several feeds: seconds from exec until
# GET /healthz answers with every configured city (tarvod listens only after loading), peak
# resident memory (/usr/bin/time -v) and that memory per million stop times. Each run uses a
# fresh XDG_DATA_HOME.
#
#   bench/tarvod/cities.sh TARVOD GTFS_SYNTH WORKDIR [RUNS] [PORT]
# WORKDIR receives the generated feeds (synth5000 with seeds 1..4, about 20 MB each; an existing
# /work/benchdata/synth5000.zip is used for seed 1). Prints one line per run:
#   scenario cities feeds stop_times ready_s maxrss_kb cpu_s kb_per_million_stop_times
set -euo pipefail

tarvod=$1 synth=$2 work=$3 runs=${4:-3} port=${5:-18443}
now=2025-03-14T08:00:00+01:00
mkdir -p "$work"

feed() {  # the synth5000 feed of seed $1; its stop-time count is remembered beside it
  local zip=$work/synth5000-s$1.zip
  if [[ ! -f $zip.count ]]; then
    if [[ $1 == 1 && -f /work/benchdata/synth5000.zip ]]; then
      cp /work/benchdata/synth5000.zip "$zip"
    else
      "$synth" --stops 5000 --seed "$1" --start-date 2025-03-01 --zip "$zip" 2>/dev/null
    fi
    echo $(($(unzip -p "$zip" '*stop_times.txt' | wc -l) - 1)) >"$zip.count"
  fi
  echo "$zip"
}

run() {  # scenario name, then the TOML of its cities
  local name=$1 toml=$2 keys stopTimes cities feeds
  keys=$(grep -oE '^key = "[^"]+"' <<<"$toml" | cut -d'"' -f2)
  cities=$(wc -l <<<"$keys")
  feeds=$(grep -oE 'synth5000-s[0-9]+\.zip' <<<"$toml" | wc -l)
  stopTimes=0
  for zip in $(grep -oE '"[^"]+synth5000-s[0-9]+\.zip"' <<<"$toml" | tr -d '"'); do
    stopTimes=$((stopTimes + $(cat "$zip.count")))
  done
  for ((i = 1; i <= runs; i++)); do
    local data log ready= t0 server
    data=$(mktemp -d)
    log=$data/log
    printf '%s\n' "$toml" >"$data/tarvod.toml"
    t0=$(date +%s.%N)
    XDG_DATA_HOME=$data /usr/bin/time -v -o "$log.time" \
      "$tarvod" --config "$data/tarvod.toml" --listen "127.0.0.1:$port" --now "$now" >"$log" 2>&1 &
    local timer=$!
    for ((k = 0; k < 12000; k++)); do
      if body=$(curl -ks --max-time 1 "https://127.0.0.1:$port/healthz") &&
        [[ $(grep -o '"cityKey"' <<<"$body" | wc -l) == "$cities" ]]; then
        ready=$(date +%s.%N)
        break
      fi
      kill -0 "$timer" 2>/dev/null || break
      sleep 0.05
    done
    if [[ -z $ready ]]; then
      echo "tarvod did not become ready:" >&2
      cat "$log" >&2
      exit 1
    fi
    server=$(pgrep -P "$timer" -x tarvod)
    kill -TERM "$server"
    wait "$timer" || true
    local rss cpu
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log.time")
    cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {printf "%.2f", s}' "$log.time")
    echo "$name $cities $feeds $stopTimes $(echo "$ready - $t0" | bc -l | xargs printf '%.3f') $rss $cpu" \
      "$(echo "$rss * 1000000 / $stopTimes" | bc)"
    rm -rf "$data"
  done
}

one=$(feed 1)
for n in 1 4 16; do
  toml=""
  for ((c = 1; c <= n; c++)); do
    toml+=$'[[city]]\nkey = "c'$c$'"\nfeed = "'$one$'"\n'
  done
  run "cities-$n" "$toml"
done
several=""
for s in 1 2 3 4; do
  several+="{ path = \"$(feed "$s")\", key = \"s$s\" }, "
done
run "one-city-4-feeds" $'[[city]]\nkey = "m"\nfeed = ['"${several%, }"$']\n'
