#!/usr/bin/env bash
# The main job: builds the simulator and the driver module, then runs nrvsim with the
# given arguments. With no arguments nrvsim boots its embedded default machine.
# Build output goes to stderr, so stdout carries only nrvsim's own transcript.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
{
  "$root/scripts/install-deps.sh" --no-cross --no-test-tools
  "$root/scripts/configure.sh" "$build"
  cmake --build "$build" --parallel "$(nproc)" --target nrvsim nrvusb
} >&2
exec "$build/tools/nrvsim/nrvsim" "$@"
