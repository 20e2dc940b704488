#!/bin/sh
# The saved real GTFS-Realtime files of the development data against their static feeds: what
# tarvod matches, cancels, skips and adds (one line per file, tab-separated). Never run by tests.
#   bench/realtime/live-feeds.sh BUILD_DIR [DATA_DIR]
set -eu
build=${1:?usage: live-feeds.sh BUILD_DIR [DATA_DIR]}
data=${2:-/work/shared/data/gtfs}
match=$build/bin/tarvod_realtime_match
"$match" "$data/bart-realtime/bart.zip" "$data/bart-realtime/trip-updates-1.pb" \
    "$data/bart-realtime/trip-updates-2.pb" "$data/bart-realtime/alerts.pb"
"$match" "$data/king-county-realtime/kcm.zip" "$data/king-county-realtime/vehicle-positions-1.pb" \
    "$data/king-county-realtime/vehicle-positions-2.pb" | tail -n +2
