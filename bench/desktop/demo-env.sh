# Sourced by the bench/desktop scripts: the demo city as `make demo` sets it up (tools/demo),
# in a temporary folder: gtfs-synth's city, tarvod on local HTTPS, a separate XDG_CONFIG_HOME
# with servers.conf (local, local_ca), useDevelopmentServer 1 and the fixed demo position.
# Needs $bin (the build's bin folder); sets $demo, exports XDG_CONFIG_HOME and XDG_DATA_HOME,
# and starts tarvod (stopped by demo_stop, registered on EXIT).
port=${VELMO_BENCH_PORT:-18643}
centre=${VELMO_DEMO_CENTRE:-47.2051,19.3608}
demo=$(mktemp -d /tmp/velmo-deskbench.XXXXXX)
export XDG_CONFIG_HOME="$demo/config" XDG_DATA_HOME="$demo/data"
mkdir -p "$XDG_CONFIG_HOME/velmomac" "$XDG_DATA_HOME"
chmod 700 "$XDG_CONFIG_HOME" "$XDG_CONFIG_HOME/velmomac"
demo_pids=()
demo_stop() {
  for pid in "${demo_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$demo"
}
trap demo_stop EXIT

"$bin/gtfs-synth" --zip "$demo/city.zip" --start-date "$(TZ=Europe/Budapest date +%F)" >/dev/null
"$bin/tarvod" --feed "mv=$demo/city.zip" --listen "127.0.0.1:$port" >"$demo/tarvod.log" 2>&1 &
demo_pids+=($!)
for _ in $(seq 1 300); do
  curl -sk --max-time 1 "https://localhost:$port/healthz" >/dev/null 2>&1 && break
  kill -0 "${demo_pids[-1]}" 2>/dev/null || { echo "tarvod did not start:" >&2; cat "$demo/tarvod.log" >&2; exit 1; }
  sleep 0.2
done
cat >"$XDG_CONFIG_HOME/velmomac/servers.conf" <<CONF
local = "https://localhost:$port/v2/"
local_ca = "$XDG_DATA_HOME/tarvod/tls/cert.pem"
CONF
"$bin/velmo-settings" set useDevelopmentServer 1 >/dev/null
"$bin/velmo-settings" set locationSource fixed --type string >/dev/null
"$bin/velmo-settings" set locationFixed "$centre" --type string >/dev/null
