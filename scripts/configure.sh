#!/usr/bin/env bash
# Configures a build tree of this source tree: scripts/configure.sh <build dir> [cmake options...]
# A new tree uses Ninja when it is installed; an existing tree keeps its generator.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$1
shift
generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" "$@"
