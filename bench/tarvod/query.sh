#!/usr/bin/env bash
# Engine query benchmark at dense points: the built-in synthetic grid, a
# gtfs-synth city and Tampa (HART).
#   bench/tarvod/query.sh BUILD_DIR SYNTH_FEED [REPETITIONS]
set -euo pipefail
build=$1 synth=$2 reps=${3:-5}
bench=$build/bin/tarvod_query_bench
run() {
  echo "== $1 (load: $(cut -d' ' -f1-3 /proc/loadavg))"
  "$bench" --benchmark_repetitions="$reps" 2>&1 | grep -E '^BM_'
}
run "built-in 60x60 grid, 2025-03-14 08:00 Europe/Budapest"
TARVOD_BENCH_FEED=$synth TARVOD_BENCH_AT=47.2051,19.3608 TARVOD_BENCH_NOW=1741935600 \
  TARVOD_BENCH_FAV_ROUTES=ME-M1,ME-M2,VI-21 TARVOD_BENCH_FAV_STOPS=S00004 \
  run "gtfs-synth --stops 5000 at its centre 47.2051,19.3608, 2025-03-14 08:00 +01:00"
TARVOD_BENCH_FEED=/work/shared/data/gtfs/tampa-hart.zip TARVOD_BENCH_AT=27.950863,-82.457311 \
  TARVOD_BENCH_NOW=1526472000 TARVOD_BENCH_FAV_ROUTES=1,5,6 TARVOD_BENCH_FAV_STOPS=4234 \
  run "tampa-hart at stop 4234 (downtown) 27.950863,-82.457311, 2018-05-16 08:00 -04:00"
echo "== done (load: $(cut -d' ' -f1-3 /proc/loadavg))"
