#!/usr/bin/env bash
# The README's demo and stream clients, as a newcomer runs them:
# scripts/demo.sh in console mode, with its own MQTT broker and in server
# mode, stopped the way Ctrl+C stops it (SIGINT to its whole process
# group), must end with status 0; every
# client command of the README's "Consuming the stream" section, run as
# written there (on another port), must print readings and end by itself,
# with status 0, when the service stops.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/elf-checks.sh

work="$(mktemp -d)"
demo_pid=""
client_pids=()
cleanup() {
  if [ -n "$demo_pid" ]; then kill -KILL -- "-$demo_pid" 2>/dev/null || true; fi
  local pid
  for pid in "${client_pids[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

wait_for_line() {  # FILE REGEX SECONDS
  local deadline=$((SECONDS + $3))
  until grep -qE "$2" "$1" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "no line matching '$2' in $1 within $3 s:$(echo; tail -n 20 "$1")"
    sleep 0.2
  done
}

wait_for_exit() {  # PID SECONDS WHAT: fails unless PID ends with status 0 in time
  local deadline=$((SECONDS + $2)) status=0
  while kill -0 "$1" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "$3 still runs $2 s after the service stopped"
    sleep 0.2
  done
  wait "$1" || status=$?
  [ "$status" -eq 0 ] || fail "$3 ended with status $status"
}

# Runs the demo in a process group of its own, as a terminal would (so do
# the clients below, so that a failed check can end each whole pipeline).
start_demo() {  # OUTPUT ARGS...
  local out="$1"; shift
  setsid scripts/demo.sh "$@" >"$out" 2>&1 </dev/null &
  demo_pid=$!
}

stop_demo() {  # OUTPUT
  kill -INT -- "-$demo_pid"
  wait_for_exit "$demo_pid" 30 "scripts/demo.sh"
  demo_pid=""
  grep -q "Thermometry cleaned up" "$1" || fail "the demo's program did not shut down in order:$(echo; tail -n 5 "$1")"
}

free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! { exec 9<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null; then echo "$port"; return; fi
    exec 9>&-
  done
  fail "no free port found"
}

# The first run builds the demo as well.
echo "== scripts/demo.sh, stopped by SIGINT to its process group"
start_demo "$work/console.out"
wait_for_line "$work/console.out" '^Temperature: 3[0-9.]+°C$' 900
stop_demo "$work/console.out"
echo "ok: console mode showed readings and ended with status 0"

echo
echo "== scripts/demo.sh -m: a private broker and what a subscriber gets"
start_demo "$work/mqtt.out" -m
wait_for_line "$work/mqtt.out" '^mqtt <- thermometry/127\.0\.0\.77/2/temperature \{"tmp":3[0-9.]+,"time":"[0-9T:.-]+Z"\}$' 120
wait_for_line "$work/mqtt.out" '^mqtt <- thermometry/127\.0\.0\.77/2/camera online$' 10
stop_demo "$work/mqtt.out"
wait_for_line "$work/mqtt.out" '^mqtt <- thermometry/127\.0\.0\.77/2/status offline$' 10
echo "ok: the demo's subscriber showed readings, the camera online and, at the end, status offline"

# The README's clients: each command of the section's sh blocks other than
# apt-get, and each python block, saved under the name its first line gives.
section="$work/consuming.md"
sed -n '/^## Consuming the stream/,/^## /p' README.md >"$section"
mapfile -t commands < <(awk '/^```/ { block = ($0 == "```sh") ? "sh" : ""; next }
  block == "sh" && NF && $1 != "apt-get" && $1 !~ /^#/ { sub(/ +#.*/, ""); print }' "$section")
awk -v dir="$work" '/^```/ { if (out != "") close(out); out = ""; py = ($0 == "```python"); next }
  py && out == "" && $1 == "#" && $2 ~ /\.py$/ { out = dir "/" $2 }
  out != "" { print > out }' "$section"
[ "${#commands[@]}" -ge 3 ] || fail "found only ${#commands[@]} client commands in the README"

port="$(free_port)"
for script in "$work"/*.py; do
  if [ -e "$script" ]; then sed -i "s/9000/$port/g" "$script"; fi
done
echo
echo "== scripts/demo.sh -t $port and the README's clients"
start_demo "$work/server.out" -t "$port"
wait_for_line "$work/server.out" '^client <- \{"tmp":' 120
# Their standard input is like an idle terminal: open, with nothing to read.
mkfifo "$work/terminal"
exec 7<>"$work/terminal"
for i in "${!commands[@]}"; do
  (cd "$work" && exec setsid bash -c "${commands[i]//9000/$port}") >"$work/client$i.out" 2>&1 <"$work/terminal" &
  client_pids[i]=$!
done
# A reading reaches every client: a JSON line, or the number alone (jq).
for i in "${!commands[@]}"; do
  wait_for_line "$work/client$i.out" '(^\{"tmp":3[0-9.]+\}$|^3[0-9.]+$)' 30
done
stop_demo "$work/server.out"
for i in "${!commands[@]}"; do
  wait_for_exit "${client_pids[i]}" 15 "README client '${commands[i]}'"
  echo "ok: '${commands[i]}' got $(grep -c . "$work/client$i.out") lines and ended with status 0 when the service stopped"
done
client_pids=()
echo "ok: server mode showed the stream and ended with status 0"
