#!/usr/bin/env bash
# Builds thermometry and runs it against the camera simulator, so that the
# whole chain can be seen without a camera. Extra arguments go to the
# program. With -t PORT (server mode) the demo also connects to the program
# as a TCP client and shows each line it receives, until the program stops.
# A -m without a URL starts a private MQTT broker, runs the program with -m
# for it, and shows what mosquitto_sub -v receives. Ctrl+C stops it all;
# the demo then exits with the program's status (0 after an orderly
# shutdown).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/build/demo"

# A bare -m (the last word, or one before another option) is the demo's:
# a broker of its own. -m URL goes to the program as it is.
mqtt_demo=0
args=()
for ((i = 1; i <= $#; i++)); do
  arg="${!i}"
  next=$((i + 1))
  if [ "$arg" = -m ] && { [ "$i" -eq "$#" ] || [[ "${!next}" == -* ]]; }; then
    mqtt_demo=1
  else
    args+=("$arg")
  fi
done
set -- ${args[@]+"${args[@]}"}

if [ "$mqtt_demo" -eq 1 ]; then
  "$top/scripts/install-deps.sh" demo broker
else
  "$top/scripts/install-deps.sh" demo
fi

echo "Building in $build ..."
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTHERMOMETRY_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null

# The server port, as the program reads it: the last -t wins.
port=0
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    -t) port="${args[i + 1]:-0}"; i=$((i + 1)) ;;
    -t*) port="${args[i]#-t}" ;;
  esac
done
[[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || port=0

# The program always logs in on port 8000; the simulator takes an address of
# its own on the loopback network so that nothing else on 8000 gets in the way.
address="${DEMO_CAMERA_ADDRESS:-127.0.0.77}"
work="$(mktemp -d "${TMPDIR:-/tmp}/thermometry-demo.XXXXXX")"
sim_log="$work/camera-sim.out"
sim_pid=""
program_pid=""
broker_pid=""
sub_pid=""
show_pid=""
# Whatever ended the demo, the simulator (and the broker and its subscriber)
# go with it. Any may be gone already (Ctrl+C reaches the whole process
# group), so a failed kill is fine. The subscriber goes once it has shown
# the program's goodbye, or after two seconds; what it wrote is shown whole.
end_helpers() {
  local pid
  if [ -n "$sub_pid" ]; then
    for _ in $(seq 20); do
      grep -q '/status offline$' "$work/mqtt.out" 2>/dev/null && break
      sleep 0.1
    done
  fi
  for pid in "$sub_pid" "$broker_pid" "$sim_pid"; do
    [ -z "$pid" ] || { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
  done
  [ -z "$show_pid" ] || wait "$show_pid" 2>/dev/null || true
}
trap end_helpers EXIT
# Ctrl+C or a TERM to the demo alone: pass it on to the program, whose
# orderly shutdown ends the demo.
trap '[ -z "$program_pid" ] || kill -INT "$program_pid" 2>/dev/null || true' INT TERM

# Waits up to five seconds for a started helper to say it is ready; if it
# ends first, shows what it said and ends the demo.
wait_ready() {  # PID OUTPUT-FILE PATTERN
  for _ in $(seq 50); do
    grep -q "$3" "$2" 2>/dev/null && return 0
    kill -0 "$1" 2>/dev/null || { cat "$2" >&2; exit 1; }
    sleep 0.1
  done
  echo "demo: not ready after 5 s:" >&2
  cat "$2" >&2
  exit 1
}

"$build/sim/camera-sim" --listen "$address:8000" --sine 36.5:1.5:20 >"$sim_log" 2>&1 &
sim_pid=$!
wait_ready "$sim_pid" "$sim_log" "^listening on"

# A broker on a free port of 127.0.0.1 (not the system's, if it has one),
# and a subscriber that shows everything it passes on.
mqtt_args=()
if [ "$mqtt_demo" -eq 1 ]; then
  mqtt_port=""
  for candidate in $(shuf -i 20000-60000 -n 20); do
    if ! { exec 4<>"/dev/tcp/127.0.0.1/$candidate"; } 2>/dev/null; then mqtt_port="$candidate"; break; fi
    exec 4<&-
  done
  [ -n "$mqtt_port" ] || { echo "demo: no free port for the MQTT broker" >&2; exit 1; }
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$mqtt_port" >"$work/mosquitto.conf"
  # Out of the terminal's process group: Ctrl+C stops the program, whose
  # goodbye (status offline) they still pass on and show; then they go.
  setsid /usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.out" 2>&1 &
  broker_pid=$!
  wait_ready "$broker_pid" "$work/mosquitto.out" " running"
  setsid mosquitto_sub -h 127.0.0.1 -p "$mqtt_port" -t '#' -F 'mqtt <- %t %p' >"$work/mqtt.out" 2>&1 &
  sub_pid=$!
  # Shown as it comes, to the last line, once the subscriber has ended.
  setsid tail -n +1 -f --pid="$sub_pid" "$work/mqtt.out" &
  show_pid=$!
  mqtt_args=(-m "mqtt://127.0.0.1:$mqtt_port")
  echo "MQTT broker on 127.0.0.1:$mqtt_port; what it passes on is shown as 'mqtt <- TOPIC PAYLOAD'" \
       "(another subscriber: mosquitto_sub -h 127.0.0.1 -p $mqtt_port -v -t '#')"
fi

echo "Camera simulator on $address:8000 (its events: $sim_log)"
echo "Working directory (logs in .log/temp): $work"
echo "Press Ctrl+C to stop."
echo
cd "$work"
"$build/thermometry" -s "rtsp://admin:secret@$address:554/Streaming/Channels/101" ${mqtt_args[@]+"${mqtt_args[@]}"} "$@" &
program_pid=$!

# Server mode: once the program's log says it listens, read its stream like
# any client (bash's /dev/tcp, nothing to install) until it closes.
show_stream() {
  until grep -qs " TCP server successfully started on port $port\$" "$work"/.log/temp/temp_*.log; do
    kill -0 "$program_pid" 2>/dev/null || return 0
    sleep 0.2
  done
  { exec 3<"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || { echo "demo: cannot connect to port $port" >&2; return 0; }
  echo "demo: connected to 127.0.0.1:$port; each line it receives is shown as 'client <- ...'" \
       "(another client: cat </dev/tcp/127.0.0.1/$port)"
  local line
  while IFS= read -r line <&3; do
    echo "client <- $line"
  done
  exec 3<&-
}
if [ "$port" -ne 0 ]; then show_stream || true; fi

# wait returns early when a trapped signal arrives: wait until the program
# has really ended; bash keeps its exit status for the last wait.
while kill -0 "$program_pid" 2>/dev/null; do wait "$program_pid" || true; done
status=0
wait "$program_pid" || status=$?
exit "$status"
