#!/usr/bin/env bash
# Debian packages and systemd units: makes both packages for amd64 (native
# build) and arm64 (cross build) with cpack, in the build directories whose
# programs the suite tested (configured and built here when missing), and
# checks their control fields, their exact contents, the installed program's
# CPU and library search path, that the packaged program loads with the
# packaged stand-in SDK, and the units with systemd-analyze.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/elf-checks.sh

started=$(date +%s)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

version="$(sed -n 's/^project(thermometry VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
depends="libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)"

# The exact contents, as dpkg-deb --contents lists them: mode owner path.
program_contents="drwxr-xr-x root/root ./lib/
drwxr-xr-x root/root ./lib/systemd/
drwxr-xr-x root/root ./lib/systemd/system/
-rw-r--r-- root/root ./lib/systemd/system/thermometry.service
-rw-r--r-- root/root ./lib/systemd/system/thermometry@.service
drwxr-xr-x root/root ./opt/
drwxr-xr-x root/root ./opt/thermometry/
-rwxr-xr-x root/root ./opt/thermometry/thermometry
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/sysusers.d/
-rw-r--r-- root/root ./usr/lib/sysusers.d/thermometry.conf
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/thermometry/
-rw-r--r-- root/root ./usr/share/doc/thermometry/README.md
-rw-r--r-- root/root ./usr/share/doc/thermometry/README.service.md
-rw-r--r-- root/root ./usr/share/doc/thermometry/thermometry.env.example
-rw-r--r-- root/root ./usr/share/doc/thermometry/thermometry.url.example"
standin_contents="drwxr-xr-x root/root ./opt/
drwxr-xr-x root/root ./opt/thermometry/
-rwxr-xr-x root/root ./opt/thermometry/camera-sim
-rw-r--r-- root/root ./opt/thermometry/libhcnetsdk.so"

contents() { dpkg-deb --contents "$1" | awk '{ print $1, $2, $6 }'; }

expect_field() {  # DEB FIELD VALUE
  local actual
  actual="$(dpkg-deb --field "$1" "$2")"
  [ "$actual" = "$3" ] || fail "$(basename "$1") $2 is '$actual', expected '$3'"
  echo "ok: $(basename "$1") $2: $actual"
}

# The hand-written Depends must cover what the binaries ask for: dpkg-shlibdeps
# cannot tell for the cross build.
expect_covered_by_depends() {  # FILE
  local glibc glibcxx
  glibc="$(max_symbol_version "$1" GLIBC_)"
  glibcxx="$(max_symbol_version "$1" GLIBCXX_)"
  if [ -n "$glibc" ]; then version_le "$glibc" 2.34 || fail "$1 needs GLIBC_$glibc, Depends says libc6 (>= 2.34)"; fi
  # libstdc++6 of GCC 12 provides up to GLIBCXX_3.4.30.
  if [ -n "$glibcxx" ]; then version_le "$glibcxx" 3.4.30 || fail "$1 needs GLIBCXX_$glibcxx, Depends says libstdc++6 (>= 12)"; fi
  echo "ok: $1 needs GLIBC_${glibc:-none}, GLIBCXX_${glibcxx:-none}: covered by Depends"
}

# The camera URL holds the password: a unit hands it to the program as a
# credential file (-s @FILE), never on a command line, which /proc shows to
# every user, nor through env. The unit reports readiness and keeps a
# watchdog, and its journal lines are tagged.
check_unit_secrets() {  # UNIT-FILE NAME-OF-THE-URL-FILE
  local unit="$1" name="$2" tag exec
  tag=thermometry; [ "$name" = thermometry ] || tag='thermometry@%i'
  grep -qxF "ExecStart=/opt/thermometry/thermometry -s @%d/url -c \${THERMOMETRY_CHANNEL} -t \${THERMOMETRY_PORT}" "$unit" ||
    fail "$(basename "$unit") does not start /opt/thermometry/thermometry with the URL's credential"
  exec="$(grep -E '^[[:space:]]*Exec[A-Za-z]*=' "$unit")"
  if grep -qiE 'THERMOMETRY_URL|rtsp:|passw|env ' <<<"$exec"; then
    fail "$(basename "$unit") passes the URL or a password on a command line: $exec"
  fi
  local line
  for line in "LoadCredential=url:/etc/thermometry/$name.url" Type=notify NotifyAccess=main WatchdogSec=30s \
      "SyslogIdentifier=$tag"; do
    grep -qxF "$line" "$unit" || fail "$(basename "$unit") lacks $line"
  done
  echo "ok: $(basename "$unit"): URL as a credential, not on the command line; Type=notify, watchdog, tag $tag"
}

check_packages() {  # PRESET DEB-ARCH FILE-ARCH RUNNER...
  local preset="$1" arch="$2" cpu="$3"; shift 3
  local build="build/$preset"
  echo
  echo "== $arch packages ($build)"
  if [ ! -f "$build/CMakeCache.txt" ]; then cmake --preset "$preset"; fi
  cmake --build --preset "$preset"

  # The build tree's program finds the built stand-in, nothing else.
  local sdk_dir
  sdk_dir="$(sed -n 's/^HCNETSDK_RUNTIME_DIR:INTERNAL=//p' "$build/CMakeCache.txt")"
  expect_runpath "$build/thermometry" "$sdk_dir" "$sdk_dir/HCNetSDKCom"

  rm -rf "$build/packages"
  (cd "$build" && cpack -G DEB >/dev/null)
  local program="$build/packages/thermometry_${version}_${arch}.deb"
  local standin="$build/packages/thermometry-camera-sim_${version}_${arch}.deb"
  [ -f "$program" ] || fail "no $program"
  [ -f "$standin" ] || fail "no $standin"
  [ "$(find "$build/packages" -maxdepth 1 -name '*.deb' | wc -l)" -eq 2 ] || fail "other packages in $build/packages"

  expect_field "$program" Package thermometry
  expect_field "$program" Architecture "$arch"
  expect_field "$program" Version "$version"
  expect_field "$program" Depends "$depends"
  expect_field "$program" Suggests thermometry-camera-sim
  expect_field "$standin" Package thermometry-camera-sim
  expect_field "$standin" Architecture "$arch"
  expect_field "$standin" Depends "$depends"

  [ "$(contents "$program")" = "$program_contents" ] ||
    fail "$(basename "$program") contents differ:$(echo; diff <(echo "$program_contents") <(contents "$program"))"
  [ "$(contents "$standin")" = "$standin_contents" ] ||
    fail "$(basename "$standin") contents differ:$(echo; diff <(echo "$standin_contents") <(contents "$standin"))"
  echo "ok: contents of both packages"

  # Maintainer scripts: present, executable, valid shell.
  local control="$work/$arch-control" script
  dpkg-deb --control "$program" "$control"
  for script in postinst prerm postrm; do
    [ -x "$control/$script" ] || fail "$script missing or not executable"
    sh -n "$control/$script" || fail "$script is not valid sh"
  done
  echo "ok: maintainer scripts"

  local root="$work/$arch-root"
  dpkg-deb --extract "$program" "$root"
  dpkg-deb --extract "$standin" "$root"
  local exe="$root/opt/thermometry/thermometry"
  expect_arch "$exe" "$cpu"
  expect_arch "$root/opt/thermometry/libhcnetsdk.so" "$cpu"
  expect_arch "$root/opt/thermometry/camera-sim" "$cpu"
  expect_needed "$exe" libhcnetsdk.so
  expect_runpath "$exe" /opt/thermometry /opt/thermometry/HCNetSDKCom
  file -b "$exe" | grep -q ", stripped" || fail "$exe is not stripped"
  local f
  for f in "$exe" "$root/opt/thermometry/libhcnetsdk.so" "$root/opt/thermometry/camera-sim"; do
    expect_covered_by_depends "$f"
  done
  check_unit_secrets "$root/lib/systemd/system/thermometry.service" thermometry
  check_unit_secrets "$root/lib/systemd/system/thermometry@.service" '%i'

  # The packaged program loads with the packaged stand-in, every symbol bound
  # at start: without -s it must say so and exit 255.
  local out status=0
  out="$("$@" "$exe" 2>&1)" || status=$?
  [ "$status" -eq 255 ] || fail "packaged program exited $status, expected 255: $out"
  grep -qF "Missing required argument: -s <rtsp_url>" <<<"$out" || fail "packaged program said: $out"
  echo "ok: packaged program runs with the packaged libhcnetsdk.so"

  if [ "$arch" = amd64 ]; then units_root="$root"; fi
}

check_units() {  # ROOT: an extracted program package
  echo
  echo "== systemd units"
  if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "SKIPPED: systemd-analyze is not installed"
    return 0
  fi
  # A unit that must verify cleanly tells whether systemd-analyze can work
  # here at all; if it cannot, that is the container's doing, not the units'.
  local probe="$work/units/probe"
  mkdir -p "$probe"
  printf '[Unit]\nDescription=probe\n\n[Service]\nExecStart=/bin/true\n' >"$probe/thermometry-probe.service"
  local out
  if ! out="$(systemd-analyze verify "$probe/thermometry-probe.service" 2>&1)" || [ -n "$out" ]; then
    echo "SKIPPED: systemd-analyze verify does not work here: $out"
    return 0
  fi

  # The units as packaged, the template also as an instance. verify reports
  # unknown keys and bad values as warnings with status 0: any output fails.
  local units="$work/units/verify" unit
  mkdir -p "$units"
  cp "$1/lib/systemd/system/thermometry.service" "$units/"
  cp "$1/lib/systemd/system/thermometry@.service" "$units/"
  cp "$1/lib/systemd/system/thermometry@.service" "$units/thermometry@hall.service"
  # verify wants the program in place: the copies start the extracted one
  # (its path in the packaged units is checked above).
  sed -i "s#^ExecStart=/opt/thermometry/#ExecStart=$1/opt/thermometry/#" "$units"/*.service
  for unit in thermometry.service thermometry@.service thermometry@hall.service; do
    if ! out="$(systemd-analyze verify "$units/$unit" 2>&1)" || [ -n "$out" ]; then
      fail "systemd-analyze verify $unit: $out"
    fi
    echo "ok: systemd-analyze verify $unit"
  done
  # The sandbox must not quietly get weaker: exposure at most 3.0 (of 10;
  # the threshold is in tenths).
  for unit in thermometry.service thermometry@hall.service; do
    out="$(systemd-analyze security --offline=yes --threshold=30 "$units/$unit" 2>&1)" ||
      fail "systemd-analyze security $unit: $(tail -n 1 <<<"$out")"
    echo "ok: $(tail -n 1 <<<"$out")"
  done
}

units_root=""
check_packages ci amd64 "x86-64" env LD_BIND_NOW=1 LD_LIBRARY_PATH="$work/amd64-root/opt/thermometry"
check_packages arm64 arm64 "ARM aarch64" \
  qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_BIND_NOW=1 -E LD_LIBRARY_PATH="$work/arm64-root/opt/thermometry"
check_units "$units_root"

echo
for deb in build/ci/packages/*.deb build/arm64/packages/*.deb; do
  echo "-- dpkg-deb --contents $deb"
  dpkg-deb --contents "$deb"
done
echo
echo "package checks: $(( $(date +%s) - started )) s"
