#!/usr/bin/env bash
# Runs one libFuzzer target (fuzz/TARGET.cpp) for a while and reports its speed and coverage.
#   scripts/fuzz.sh TARGET SECONDS [--save]   run TARGET; --save merges what it found into fuzz/corpus/TARGET
#   scripts/fuzz.sh --list                    the targets
# The fuzzers are built with clang in build-fuzz/ (ASan, UBSan and coverage on
# everything). Each run works on a copy of the seed corpus in
# build-fuzz/fuzz/work/TARGET, which later runs go on from; crashing inputs land
# in build-fuzz/fuzz/findings/TARGET.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-fuzz

targets() { for file in "$root"/fuzz/*.cpp; do basename "$file" .cpp; done; }

usage() {
  sed -n '2,4s/^# \{0,1\}//p' "$0"
  exit "$1"
}

case "${1:-}" in
  --list)
    targets
    exit 0
    ;;
  -h | --help) usage 0 ;;
  "") usage 2 ;;
esac
target=$1
seconds=${2:-}
save=0
[ "${3:-}" = --save ] && save=1
all=" $(targets | tr '\n' ' ')"
if [[ "$all" != *" $target "* ]]; then
  echo "fuzz.sh: no target '$target'; the targets are: $(targets | tr '\n' ' ')" >&2
  exit 2
fi
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "fuzz.sh: give the run's length in seconds (a whole number above 0)" >&2
  exit 2
fi

{
  "$root/scripts/install-deps.sh" --no-cross --fuzz
  "$root/scripts/configure.sh" "$build" -DNRV_FUZZ=ON -DNRV_WITH_CROSS=OFF -DNRV_SANITIZE= \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$build" --parallel "$(nproc)" --target "fuzz_$target"
} >&2

work=$build/fuzz/work/$target
findings=$build/fuzz/findings/$target
mkdir -p "$work" "$findings"
# A first run starts from the seeds; later ones go on from what earlier runs found.
cp -n "$root/fuzz/corpus/$target"/* "$work"/
log=$build/fuzz/$target.log
set +e
"$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=4096 \
  -artifact_prefix="$findings/" "$work" >"$log" 2>&1
status=$?
set -e

# libFuzzer's last status line: "#RUNS DONE cov: C ft: F corp: N/SIZE ... exec/s: E ..."
last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
corpus=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
echo "fuzz $target: ${runs:-?} executions in $seconds s, ${speed:-?} exec/s; coverage cov ${cov:-?} ft ${ft:-?}; corpus ${corpus:-?} inputs ($work)"

if [ "$status" -ne 0 ]; then
  echo "fuzz $target: FAILED (exit status $status); the input is in $findings, the report in $log:" >&2
  grep -E 'ERROR|FINDING|STOP|SUMMARY|Test unit written' "$log" | head -n 20 >&2
  exit 1
fi
if [ "$save" = 1 ]; then
  "$build/fuzz/fuzz_$target" -merge=1 "$root/fuzz/corpus/$target" "$work" >>"$log" 2>&1
  echo "fuzz $target: merged what it found into fuzz/corpus/$target"
fi
