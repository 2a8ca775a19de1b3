#!/usr/bin/env bash
# The whole test suite from a fresh clone: installs what the build and the
# tests need (scripts/install-deps.sh), then configures, builds and runs
# them with the ci preset (optimised with debug information, warnings are
# errors).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
exec cmake --workflow --preset ci
