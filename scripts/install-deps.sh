#!/usr/bin/env bash
# Installs the Debian packages that a task needs and the machine lacks; the
# demo, the test command and CI call it first. Tasks:
#
#   demo   build the program, the stand-in SDK and the camera simulator
#   broker an MQTT broker and its clients, for the demo's -m
#   test   demo and broker, plus GoogleTest: build and run the test suite
#   ci     test, plus what .ci/run's other stages use
#
#   scripts/install-deps.sh TASK...
#
# As root it installs them with apt-get; otherwise through sudo where there
# is sudo. Without either it names the packages and exits with status 1.
# apt-get's own output goes to a file that is shown only when it fails.
# A package of another CPU (NAME:ARCH) comes through Debian's multiarch: the
# architecture is added to dpkg first, once, and said so.
set -euo pipefail

demo=(cmake g++ make libmosquitto-dev)
broker=(mosquitto mosquitto-clients)
# Debian 12's libgtest-dev does not bring libgmock-dev. The MQTT tests start
# a broker of their own (never the system's service), make its password file
# with mosquitto_passwd and its TLS certificates with openssl.
test=("${demo[@]}" "${broker[@]}" libgtest-dev libgmock-dev openssl)
# Sanitizer runtimes come with g++; clang and libclang-rt for the fuzzers;
# GoogleTest's sources for the ARM build, and the arm64 MQTT library, and the
# arm64 C++ run-time that its tests run with under QEMU (beside the arm64 C
# library that it brings); the rest for benchmarks, package checks and the
# checks of the README's stream clients; systemd-container and debootstrap
# for the packages' checks under systemd in a container.
ci=("${test[@]}" clang libclang-rt-14-dev libbenchmark-dev g++-aarch64-linux-gnu qemu-user
    googletest libmosquitto-dev:arm64 libstdc++6:arm64
    file binutils strace python3 systemd lintian netcat-openbsd jq
    systemd-container debootstrap)

me="$(basename "$0")"
[ "$#" -gt 0 ] || { echo "usage: $me demo|broker|test|ci..." >&2; exit 2; }
wanted=()
for task in "$@"; do
  case "$task" in
    demo) wanted+=("${demo[@]}") ;;
    broker) wanted+=("${broker[@]}") ;;
    test) wanted+=("${test[@]}") ;;
    ci) wanted+=("${ci[@]}") ;;
    *) echo "$me: unknown task '$task' (demo, broker, test or ci)" >&2; exit 2 ;;
  esac
done

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "$me: not a Debian system; make sure these (Debian's names) are installed: ${wanted[*]}" >&2
  exit 0
fi

installed_count() { dpkg-query -W -f='${db:Status-Abbrev}\n' 2>/dev/null | grep -c '^ii' || true; }

native_arch="$(dpkg --print-architecture)"
# Whether package $1 is installed: NAME:ARCH for that CPU, a bare NAME for
# this machine's CPU (or for all). dpkg-query answers a bare name with one
# entry per CPU that has it, as both have libmosquitto-dev on a CI machine.
is_installed() {
  local entries
  case "$1" in
    *:*) [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ] ;;
    *) entries="$(dpkg-query -W -f='${Architecture} ${db:Status-Abbrev}\n' "$1" 2>/dev/null || true)"
       grep -qE "^($native_arch|all) ii $" <<<"$entries" ;;
  esac
}

missing=()
for p in "${wanted[@]}"; do
  case " ${missing[*]} " in *" $p "*) continue ;; esac
  is_installed "$p" || missing+=("$p")
done
[ "${#missing[@]}" -gt 0 ] || exit 0

# The CPUs of missing NAME:ARCH packages that dpkg does not know yet.
new_archs=()
known_archs=" $native_arch $(dpkg --print-foreign-architectures | tr '\n' ' ') "
for p in "${missing[@]}"; do
  case "$p" in *:*) ;; *) continue ;; esac
  arch="${p##*:}"
  case "$known_archs ${new_archs[*]} " in *" $arch "*) continue ;; esac
  new_archs+=("$arch")
done
# How a person would do it by hand, for the messages below.
manual="apt-get install ${missing[*]}"
for arch in ${new_archs[@]+"${new_archs[@]}"}; do
  manual="dpkg --add-architecture $arch && apt-get update && $manual"
done

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "$me: these packages are missing: ${missing[*]}" >&2
  echo "Install them as root, then run this again:" >&2
  echo "  $manual" >&2
  exit 1
fi

log="$(mktemp "${TMPDIR:-/tmp}/thermometry-apt.XXXXXX")"
before="$(installed_count)"
started=$SECONDS
adding="${new_archs[*]+, adding the architecture ${new_archs[*]} to dpkg}"
echo "Installing ${missing[*]}${as_root:+ (through sudo)}$adding ..."
# One sudo for all steps, so at most one password prompt. apt-get waits for
# a lock held by another apt instead of failing at once. An architecture
# added here is taken back when the installation fails (dpkg refuses while
# any package of it is installed), so a failed run leaves apt as it was.
status=0
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive sh -c '
  archs="$1"; shift
  for arch in $archs; do dpkg --add-architecture "$arch" || exit; done
  apt-get -o DPkg::Lock::Timeout=600 update -q &&
  apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "$@" && exit 0
  status=$?
  for arch in $archs; do dpkg --remove-architecture "$arch" || true; done
  exit "$status"' \
  sh "${new_archs[*]-}" "${missing[@]}" >"$log" 2>&1 </dev/null || status=$?
if [ "$status" -ne 0 ]; then
  echo "$me: installing failed (status $status); the end of the output of dpkg and apt-get ($log):" >&2
  tail -n 15 "$log" >&2
  echo "Install them as root, then run this again:" >&2
  echo "  $manual" >&2
  exit 1
fi
rm -f "$log"
echo "Installed ${#missing[@]} packages ($(( $(installed_count) - before )) with their dependencies) in $(( SECONDS - started )) s."
