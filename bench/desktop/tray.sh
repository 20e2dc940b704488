#!/usr/bin/env bash
# velmomactoday in a real notification area: Xvfb (xvfb-run -a, no window manager) with
# Debian's trayer as the tray host, the demo settings (demo-env.sh). Per round, a fresh
# velmomactoday: idle in the tray for IDLE seconds, then VmRSS (/proc/PID/status) and Pss
# (/proc/PID/smaps_rollup) are read 3 times 2 s apart; the tray icon is clicked (xdotool, see
# bench/desktop/install-tools), the popup waited for, the icon clicked again to close it, and
# after IDLE seconds the memory is read 3 times again. With SHOT set, round 1 also takes
# `import -window root` while the popup is open and writes the popup with the tray, cropped, to SHOT.
#
# With VELMO_DESKBENCH_SMAPS=1, round 1 also lists the 12 largest mappings by Rss (from
# /proc/PID/smaps) idle and after the popup was opened and closed.
#
#   bench/desktop/tray.sh BUILD_DIR [ROUNDS=5] [SHOT=] [IDLE=8]
# prints per round: round phase VmRSS_kB Pss_kB (three readings each), then medians.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [[ -z ${VELMO_DESKBENCH_X:-} ]]; then
  VELMO_DESKBENCH_X=1 exec xvfb-run -a -n "${VELMO_DESKBENCH_SERVERNUM:-140}" -s "-screen 0 1280x800x24" "$0" "$@"
fi
bin=$(cd "$1/bin" && pwd)
rounds=${2:-5}
shot=${3:-}
[[ -z $shot || $shot == /* ]] || shot="$PWD/$shot"
idle=${4:-8}
source "$here/demo-env.sh"
command -v xdotool >/dev/null || { echo "tray.sh: xdotool is missing; run bench/desktop/install-tools" >&2; exit 1; }

trayer --edge top --align right --widthtype pixel --width 160 --heighttype pixel --height 28 \
  --SetDockType true --transparent false --tint 0x303030 >/dev/null 2>&1 &
demo_pids+=($!)
for _ in $(seq 1 50); do xwininfo -root -tree | grep -q '"panel": ("panel" "trayer")' && break; sleep 0.1; done

memory() {   # prints VmRSS_kB Pss_kB of $1
  local rss pss
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status")
  pss=$(awk '/^Pss:/ { print $2 }' "/proc/$1/smaps_rollup")
  echo "$rss $pss"
}
top_mappings() {   # round phase pid
  [[ ${VELMO_DESKBENCH_SMAPS:-} == 1 && $1 -eq 1 ]] || return 0
  echo "# largest mappings by Rss, $2 (kB, summed per file):"
  awk '/^[0-9a-f]+-[0-9a-f]+ / { name = (NF >= 6 ? $6 : "[anon]") } /^Rss:/ { rss[name] += $2 }
       END { for (n in rss) print rss[n], n }' "/proc/$3/smaps" | sort -rn | head -12 | sed 's/^/#   /'
}
readings() {   # round phase pid: three readings 2 s apart
  for k in 1 2 3; do
    echo "$1 $2 $(memory "$3")" | tee -a "$demo/memory"
    if [[ $k -lt 3 ]]; then sleep 2; fi
  done
}
popup_geometry() {   # absolute x y w h of the mapped popup window, empty when none
  xwininfo -root -tree | awk '/"velmomac – induló járatok": \("velmomactoday"/ {
    split($(NF-1), g, /[x+]/); split($NF, a, /\+/); print a[2], a[3], g[1], g[2] }'
}

echo "# $(date -u +%FT%TZ) nproc=$(nproc) cpu=\"$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')\" loadavg=\"$(cut -d' ' -f1-3 /proc/loadavg)\""
echo "# round phase VmRSS_kB Pss_kB"
: >"$demo/memory"
for ((r = 1; r <= rounds; r++)); do
  "$bin/velmomactoday" >/dev/null 2>"$demo/today$r.err" &
  pid=$!
  icon=
  for _ in $(seq 1 100); do   # the icon embedded in trayer's panel: absolute x y w h
    icon=$(xwininfo -root -tree | awk '/"velmomactoday": \("velmomactoday" "velmomactoday"\)/ && /\+0\+0/ {
      split($(NF-1), g, /[x+]/); split($NF, a, /\+/); print a[2], a[3], g[1], g[2]; exit }')
    [[ -n $icon ]] && break
    sleep 0.1
  done
  [[ -n $icon ]] || { echo "round $r: no tray icon appeared" >&2; cat "$demo/today$r.err" >&2; exit 1; }
  read -r ix iy iw ih <<<"$icon"
  cx=$((ix + iw / 2)) cy=$((iy + ih / 2))
  sleep "$idle"
  readings "$r" idle "$pid"
  top_mappings "$r" idle "$pid"

  xdotool mousemove "$cx" "$cy" click 1
  popup=
  for _ in $(seq 1 100); do popup=$(popup_geometry); [[ -n $popup ]] && break; sleep 0.1; done
  [[ -n $popup ]] || { echo "round $r: the popup did not open" >&2; exit 1; }
  sleep 3   # the query runs when the popup opens; the rows arrive a moment later
  if [[ $r -eq 1 && -n $shot ]]; then
    read -r px py pw ph <<<"$popup"
    import -window root "$demo/root.png"
    # The popup and the tray panel above it, with a small margin.
    x0=$((px - 16)) y0=0
    x1=$(( (px + pw > ix + iw ? px + pw : ix + iw) + 16 ))
    y1=$((py + ph + 16))
    (( x0 < 0 )) && x0=0
    (( x1 > 1280 )) && x1=1280
    convert "$demo/root.png" -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage "$shot"
    echo "# screenshot: popup ${pw}x${ph} at +$px+$py, icon ${iw}x${ih} at +$ix+$iy -> $shot"
  fi
  readings "$r" open "$pid"
  xdotool mousemove "$cx" "$cy" click 1
  for _ in $(seq 1 50); do [[ -z $(popup_geometry) ]] && break; sleep 0.1; done
  [[ -z $(popup_geometry) ]] || { echo "round $r: the popup did not close" >&2; exit 1; }
  sleep "$idle"
  readings "$r" closed "$pid"
  top_mappings "$r" closed "$pid"
  kill "$pid"; wait "$pid" 2>/dev/null || true
done
echo "# loadavg after: $(cut -d' ' -f1-3 /proc/loadavg)"
for phase in idle open closed; do
  for col in 3 4; do
    awk -v p=$phase -v c=$col '$2 == p { print $c }' "$demo/memory" | sort -n | awk -v p=$phase -v c=$col '
      { v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "# %s %s: n=%d median=%.1f MB min=%.1f max=%.1f (MB = 1024 kB)\n", p, (c == 3 ? "VmRSS" : "Pss"), NR, m / 1024, v[1] / 1024, v[NR] / 1024 }'
  done
done
