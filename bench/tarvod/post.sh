#!/usr/bin/env bash
# One departures request as the desktop client sends it.
#   bench/tarvod/post.sh PORT LAT,LON [MINUTES]
set -euo pipefail
port=$1 lat=${2%,*} lon=${2#*,} minutes=${3:-30}
curl -ks --max-time 10 "https://127.0.0.1:$port/v2/nearby/" \
  -H 'Content-Type: application/json' -H 'X-APP: velmomac' -H 'X-APPVERSION: 1.0.0' \
  -H 'X-APPBUILD: 100' -H 'X-APILEVEL: 2' -H 'X-DEVICE: x86_64' -H 'X-DEVICEOS: MAC' \
  -H 'X-DEVICEVERSION: 10.0' -H 'X-UUID: 2f1c7a3e-5b1d-4c8e-9a41-bench0000001' \
  --data "{\"method\":\"TRIPSFORLOCATION\",\"lat\":$lat,\"lon\":$lon,\"fetchRadius\":1500,\"realRadius\":500,\"favRoutes\":[],\"favStops\":[],\"favSortMode\":2,\"minutes\":$minutes}"
