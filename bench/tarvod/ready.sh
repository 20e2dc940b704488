# Sourced by the benchmark scripts.
# wait_ready PORT PID LOG: waits until the tarvod with PID answers /healthz on PORT; if it
# exits first, prints its LOG and fails.
wait_ready() {
  until curl -ks -o /dev/null "https://127.0.0.1:$1/healthz"; do
    kill -0 "$2" 2>/dev/null || { cat "$3" >&2; return 1; }
    sleep 0.2
  done
}
