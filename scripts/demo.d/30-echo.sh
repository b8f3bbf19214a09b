#!/usr/bin/env bash
# The reactor's echo server on a loopback port, driven by its client for two
# seconds; a second client asks for more connections than the server has
# tasks and is partly refused. The server always ends: it stops by itself
# after 15 s, and is sent SIGTERM (then SIGKILL) on the way out.
set -euo pipefail
bin="$1/examples/zr-echo"
out=$(mktemp)
"$bin" server 0 2 16 15 >"$out" &
server=$!
cleanup() {
  kill -TERM "$server" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  cat "$out"
  rm -f "$out"
}
trap cleanup EXIT
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "echo server did not start"; exit 1; }
timeout 10 "$bin" client "$port" 8 2
timeout 10 "$bin" client "$port" 24 1
