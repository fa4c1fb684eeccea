#!/usr/bin/env bash
# Installs what running needs, builds Fonolux (and Snipolux, which it starts) and starts it.
# When nothing listens on 127.0.0.1:8000 the offline demo station (scripts/demo-station.sh)
# is started in the background for as long as Fonolux runs, so that the "Local" genre's first
# station plays on a machine without internet.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets=(fonolux)
if cmake --build build --target help 2>/dev/null | grep -q '^snipolux:'; then targets+=(snipolux); fi
cmake --build build -j "$(nproc)" --target "${targets[@]}"

port=${FONOLUX_DEMO_PORT:-8000}
demo_pid=""
stop_demo() {
  if [ -n "$demo_pid" ]; then
    kill "$demo_pid" 2>/dev/null || true
    wait "$demo_pid" 2>/dev/null || true
    demo_pid=""
  fi
}
trap stop_demo EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  log=$(mktemp /tmp/fonolux-demo-log-XXXXXX)
  FONOLUX_DEMO_PORT=$port bash scripts/demo-station.sh >"$log" 2>&1 &
  demo_pid=$!
  for _ in $(seq 150); do
    grep -q '^Demo station:' "$log" && break
    kill -0 "$demo_pid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q '^Demo station:' "$log"; then
    grep '^Demo station:' "$log"
    echo "(it plays as the first station of the genre \"Local\" and stops when Fonolux exits)"
  else
    echo "The demo station did not start (Fonolux starts without it):"
    cat "$log"
    stop_demo
  fi
  rm -f "$log"
fi

build/recorder/fonolux "$@"
