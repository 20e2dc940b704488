#!/usr/bin/env bash
# All tarvod measurements recorded in bench/RESULTS.md, in order:
# start-up, engine query, wrk over HTTPS, the npm "gtfs" comparison.
#   tools/install-bench-deps
#   bench/tarvod/run.sh BUILD_DIR [WORK_DIR]
# BUILD_DIR holds a Release build of tarvod, gtfs-synth and tarvod_query_bench.
set -euo pipefail
build=$1 work=${2:-/tmp/tarvod-bench}
here=$(cd "$(dirname "$0")" && pwd)
tampa=/work/shared/data/gtfs/tampa-hart.zip
tampa_now=2018-05-16T08:00:00-04:00 tampa_at=27.950863,-82.457311
synth_now=2025-03-14T08:00:00+01:00 synth_at=47.2051,19.3608
mkdir -p "$work"

echo "machine: nproc $(nproc), $(grep -m1 'model name' /proc/cpuinfo), $(date -u +%FT%TZ)"
"$build/bin/gtfs-synth" --stops 5000 --start-date 2025-03-01 --zip "$work/synth5000.zip"

echo "## start-up (ready_s maxrss_kb cpu_s), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "# tampa"; "$here/startup.sh" "$build/bin/tarvod" "$tampa" "$tampa_now" 5 18443 "$tampa_at"
echo "# synth5000"; "$here/startup.sh" "$build/bin/tarvod" "$work/synth5000.zip" "$synth_now" 5 18443 "$synth_at"

echo "## engine query"
"$here/query.sh" "$build" "$work/synth5000.zip" 5

echo "## wrk"
serve() {
  XDG_DATA_HOME=$(mktemp -d) "$build/bin/tarvod" --feed "bench=$1" --listen 127.0.0.1:18443 --now "$2" \
    >"$work/tarvod.log" 2>&1 &
  pid=$!
  until curl -ks -o /dev/null https://127.0.0.1:18443/healthz; do sleep 0.1; done
  "$here/wrk.sh" "$pid" 18443 "$3" 30 || true
  kill "$pid"; wait "$pid" || true
}
echo "# tampa"; serve "$tampa" "$tampa_now" "$tampa_at"
echo "# synth5000"; serve "$work/synth5000.zip" "$synth_now" "$synth_at"

echo "## npm gtfs"
cd "$here/npm"
/usr/bin/time -v node compare.mjs "$tampa" "$work/tampa.sqlite" "$tampa_at" 20180516 08:00:00 500
/usr/bin/time -v node compare.mjs "$work/synth5000.zip" "$work/synth.sqlite" "$synth_at" 20250314 08:00:00 200
