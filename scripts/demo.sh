#!/usr/bin/env bash
# Builds thermometry and runs it against the camera simulator, so that the
# whole chain can be seen without a camera. Extra arguments go to the
# program (for example: -t 9000 for server mode). Ctrl+C stops both.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/build/demo"

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
if [ "${#need[@]}" -gt 0 ]; then
  echo "Installing ${need[*]} ..."
  sudo_cmd=""; [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}"
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTHERMOMETRY_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null

# The program always logs in on port 8000; the simulator takes an address of
# its own on the loopback network so that nothing else on 8000 gets in the way.
address="${DEMO_CAMERA_ADDRESS:-127.0.0.77}"
work="$(mktemp -d "${TMPDIR:-/tmp}/thermometry-demo.XXXXXX")"
sim_log="$work/camera-sim.out"
"$build/sim/camera-sim" --listen "$address:8000" --sine 36.5:1.5:20 >"$sim_log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  grep -q "^listening on" "$sim_log" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$sim_log" >&2; exit 1; }
  sleep 0.1
done

echo "Camera simulator on $address:8000 (its events: $sim_log)"
echo "Working directory (logs in .log/temp): $work"
echo "Press Ctrl+C to stop."
echo
cd "$work"
status=0
"$build/thermometry" -s "rtsp://admin:secret@$address:554/Streaming/Channels/101" "$@" || status=$?
exit "$status"
