#!/usr/bin/env bash
# Instructions per departures query (load-independent): runs the query
# benchmark under callgrind and reads, from the call arcs into
# velmo::query::nearby, the number of calls and their inclusive instructions.
#   bench/tarvod/callgrind.sh BUILD_DIR OUT_PREFIX   (TARVOD_BENCH_* as for query.sh)
set -euo pipefail
build=$1 out=$2
valgrind --tool=callgrind --callgrind-out-file="$out.callgrind" \
  "$build/bin/tarvod_query_bench" --benchmark_min_time=0.2 >"$out.log" 2>&1
awk '
  function name(s,   m) {
    # "(id) name" defines an id, "(id)" alone refers to it.
    if (match(s, /^\([0-9]+\)/)) {
      m = substr(s, RSTART, RLENGTH)
      if (length(s) > RLENGTH) ids[m] = substr(s, RLENGTH + 2)
      return ids[m]
    }
    return s
  }
  /^fn=/ { name(substr($0, 4)) }
  /^cfn=/ { target = (name(substr($0, 5)) ~ /^velmo::query::nearby\(/) }
  /^calls=/ { if (target) { split(substr($0, 7), a, " "); calls += a[1]; arc = 1 } ; next }
  arc { split($0, c, " "); ir += c[2]; arc = 0; target = 0 }
  END { printf "calls %d, inclusive Ir %d, Ir per call %.0f\n", calls, ir, ir / calls }
' "$out.callgrind"
