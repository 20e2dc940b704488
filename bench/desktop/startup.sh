#!/usr/bin/env bash
# velmomac from exec to its first painted window, and to the first paint with departures,
# under Xvfb (xvfb-run -a, no window manager) with the demo settings (demo-env.sh).
# The program is started with VELMO_REPORT_FIRST_PAINT=1, which makes it print one stderr line
# with the wall-clock time of its first paint event and one of its first paint with rows; the
# script takes the wall clock ($EPOCHREALTIME) right before the exec, so the figures include
# exec, dynamic linking, static initialisers and QApplication's X connection.
#
# With VELMO_DESKBENCH_MAPPED=1 the script also polls `xwininfo -name` (no sleep between polls)
# until the window's Map State is IsViewable, an outside check of the program's own report
# (the polling takes a core of the two while it runs).
#
#   bench/desktop/startup.sh BUILD_DIR [RUNS=25]
# prints one line per run (first_paint_s first_rows_s paint_since_runWindow_s [mapped_s]), then
# median and max of each column.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [[ -z ${VELMO_DESKBENCH_X:-} ]]; then
  VELMO_DESKBENCH_X=1 exec xvfb-run -a -n "${VELMO_DESKBENCH_SERVERNUM:-140}" -s "-screen 0 1280x800x24" "$0" "$@"
fi
bin=$(cd "$1/bin" && pwd)
runs=${2:-25}
source "$here/demo-env.sh"

echo "# $(date -u +%FT%TZ) nproc=$(nproc) cpu=\"$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')\" loadavg=\"$(cut -d' ' -f1-3 /proc/loadavg)\""
echo "# run first_paint_s first_rows_s paint_since_runWindow_s mapped_s"
results=$demo/results
: >"$results"
for ((i = 1; i <= runs; i++)); do
  err=$demo/run$i.err
  : >"$err"
  t0=$EPOCHREALTIME
  VELMO_REPORT_FIRST_PAINT=1 "$bin/velmomac" >/dev/null 2>"$err" &
  pid=$!
  mapped=
  if [[ ${VELMO_DESKBENCH_MAPPED:-} == 1 ]]; then
    for ((k = 0; k < 2000; k++)); do
      if xwininfo -name "velmomac – induló járatok" 2>/dev/null | grep -q IsViewable; then
        mapped=$EPOCHREALTIME
        break
      fi
    done
  fi
  for ((k = 0; k < 400; k++)); do   # up to 20 s
    grep -q first-rows "$err" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  paint=$(sed -n 's/.*first-paint wall=\([0-9.]*\).*/\1/p' "$err")
  since=$(sed -n 's/.*first-paint .*since-runWindow=\([0-9.]*\).*/\1/p' "$err")
  rows=$(sed -n 's/.*first-rows wall=\([0-9.]*\).*/\1/p' "$err")
  [[ -n $paint ]] || { echo "run $i: no first paint reported:" >&2; cat "$err" >&2; continue; }
  line=$(awk -v t0="$t0" -v p="$paint" -v r="${rows:-}" -v s="$since" -v m="$mapped" \
    'BEGIN { printf "%.3f %s %.3f %s", p - t0, (r == "" ? "NA" : sprintf("%.3f", r - t0)), s,
             (m == "" ? "NA" : sprintf("%.3f", m - t0)) }')
  echo "$i $line"
  echo "$line" >>"$results"
  sleep 0.5
done
echo "# loadavg after: $(cut -d' ' -f1-3 /proc/loadavg)"
for col in 1 2 3 4; do
  awk -v c=$col '$c != "NA" { print $c }' "$results" | sort -g | awk -v c=$col '
    { v[NR] = $1 } END {
      if (NR == 0) { print "# column " c ": no values"; exit }
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      name = (c == 1 ? "first_paint_s" : c == 2 ? "first_rows_s" : c == 3 ? "paint_since_runWindow_s" : "mapped_s")
      printf "# %s: n=%d median=%.3f min=%.3f max=%.3f\n", name, NR, m, v[1], v[NR] }'
done
