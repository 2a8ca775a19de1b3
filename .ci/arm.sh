#!/usr/bin/env bash
# 64-bit ARM: cross build with the aarch64-linux-gnu toolchain, the whole
# suite (unit and end-to-end) under user-mode QEMU, then checks of the built
# program: CPU, the SDK library it needs, and its library search path in the
# build tree and once installed. binfmt_misc is not used: CTest and the
# end-to-end tests put qemu-aarch64 in front of every ARM program themselves.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/elf-checks.sh

build=build/arm64
started=$(date +%s)

cmake --preset arm64
cmake --build --preset arm64
built=$(date +%s)
ctest --preset arm64
tested=$(date +%s)

echo
echo "== ARM binary checks"
expect_arch "$build/thermometry" "ARM aarch64"
expect_arch "$build/sdk/libhcnetsdk.so" "ARM aarch64"
expect_arch "$build/sim/camera-sim" "ARM aarch64"
expect_needed "$build/thermometry" libhcnetsdk.so
# In the build tree: the built stand-in's folder and its HCNetSDKCom.
sdk_dir="$(sed -n 's/^HCNETSDK_RUNTIME_DIR:INTERNAL=//p' "$build/CMakeCache.txt")"
[ -n "$sdk_dir" ] || fail "HCNETSDK_RUNTIME_DIR is not in $build/CMakeCache.txt"
expect_runpath "$build/thermometry" "$sdk_dir" "$sdk_dir/HCNetSDKCom"

# Installed: relinked with the install directories only.
install_dir="$(sed -n 's/^THERMOMETRY_INSTALL_DIR:PATH=//p' "$build/CMakeCache.txt")"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
cmake --build "$build" --target preinstall >/dev/null
DESTDIR="$stage" cmake --install "$build" --component program >/dev/null
expect_arch "$stage$install_dir/thermometry" "ARM aarch64"
expect_runpath "$stage$install_dir/thermometry" "$install_dir" "$install_dir/HCNetSDKCom"

done_at=$(date +%s)
echo
echo "ARM stage: build $((built - started)) s, tests under QEMU $((tested - built)) s, total $((done_at - started)) s"
