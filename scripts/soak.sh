#!/usr/bin/env bash
# Runs random nrvsim scenarios and checks each run (fuzz/soak/):
#   scripts/soak.sh [COUNT | SECONDSs] [--seed=N]   default 200 scenarios from seed 1; 600s: for ten minutes
# A failure prints its seed and scenario: scripts/soak.sh 1 --seed=SEED runs it alone.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build

how=(--count=200)
seed=(--seed=1)
for arg in "$@"; do
  case "$arg" in
    --seed=*) seed=("$arg") ;;
    [0-9]*s) how=(--seconds="${arg%s}") ;;
    -h | --help)
      sed -n '2,4s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    *) how=(--count="$arg") ;;
  esac
done

{
  "$root/scripts/install-deps.sh" --no-cross
  "$root/scripts/configure.sh" "$build"
  cmake --build "$build" --parallel "$(nproc)" --target soak
} >&2
exec "$build/fuzz/soak/soak" "${how[@]}" "${seed[@]}"
