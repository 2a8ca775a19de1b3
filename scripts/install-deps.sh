#!/usr/bin/env bash
# Installs the Debian packages that a task needs and the machine lacks; the
# demo, the test command and CI call it first. Tasks:
#
#   demo   build the program, the stand-in SDK and the camera simulator
#   test   demo, plus GoogleTest: build and run the test suite
#   ci     test, plus what .ci/run's other stages use
#
#   scripts/install-deps.sh TASK...
#
# As root it installs them with apt-get; otherwise through sudo where there
# is sudo. Without either it names the packages and exits with status 1.
# apt-get's own output goes to a file that is shown only when it fails.
set -euo pipefail

demo=(cmake g++ make)
# Debian 12's libgtest-dev does not bring libgmock-dev.
test=("${demo[@]}" libgtest-dev libgmock-dev)
# Sanitizer runtimes come with g++; clang and libclang-rt for the fuzzers;
# GoogleTest's sources for the ARM build; the rest for benchmarks, package
# checks and the checks of the README's stream clients; systemd-container
# and debootstrap for the packages' checks under systemd in a container.
ci=("${test[@]}" clang libclang-rt-14-dev libbenchmark-dev g++-aarch64-linux-gnu qemu-user
    googletest file binutils strace python3 systemd lintian netcat-openbsd jq
    systemd-container debootstrap)

me="$(basename "$0")"
[ "$#" -gt 0 ] || { echo "usage: $me demo|test|ci..." >&2; exit 2; }
wanted=()
for task in "$@"; do
  case "$task" in
    demo) wanted+=("${demo[@]}") ;;
    test) wanted+=("${test[@]}") ;;
    ci) wanted+=("${ci[@]}") ;;
    *) echo "$me: unknown task '$task' (demo, test or ci)" >&2; exit 2 ;;
  esac
done

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "$me: not a Debian system; make sure these (Debian's names) are installed: ${wanted[*]}" >&2
  exit 0
fi

installed_count() { dpkg-query -W -f='${db:Status-Abbrev}\n' 2>/dev/null | grep -c '^ii' || true; }

missing=()
for p in "${wanted[@]}"; do
  case " ${missing[*]} " in *" $p "*) continue ;; esac
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null)" = "ii " ] || missing+=("$p")
done
[ "${#missing[@]}" -gt 0 ] || exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "$me: these packages are missing: ${missing[*]}" >&2
  echo "Install them as root, then run this again:" >&2
  echo "  apt-get install ${missing[*]}" >&2
  exit 1
fi

log="$(mktemp "${TMPDIR:-/tmp}/thermometry-apt.XXXXXX")"
before="$(installed_count)"
started=$SECONDS
echo "Installing ${missing[*]}${as_root:+ (through sudo)} ..."
# One sudo for both steps, so at most one password prompt. apt-get waits for
# a lock held by another apt instead of failing at once.
status=0
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive sh -c '
  apt-get -o DPkg::Lock::Timeout=600 update -q &&
  apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "$@"' \
  sh "${missing[@]}" >"$log" 2>&1 </dev/null || status=$?
if [ "$status" -ne 0 ]; then
  echo "$me: installing failed (status $status); the end of apt-get's output ($log):" >&2
  tail -n 15 "$log" >&2
  echo "Install them as root, then run this again:" >&2
  echo "  apt-get install ${missing[*]}" >&2
  exit 1
fi
rm -f "$log"
echo "Installed ${#missing[@]} packages ($(( $(installed_count) - before )) with their dependencies) in $(( SECONDS - started )) s."
