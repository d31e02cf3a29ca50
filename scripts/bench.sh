#!/usr/bin/env bash
# Measures the package on the simulated machine: installs what is missing,
# builds the benchmarks optimised in build-bench/, runs them, times the whole
# test suite, prints the table and writes it to BENCHMARKS.md with the machine
# it ran on.
#   scripts/bench.sh                    the suite timed in build/, configured as scripts/test.sh does
#   scripts/bench.sh --suite-build=DIR  the suite timed in another build folder (built first)
#   scripts/bench.sh --no-suite         the benchmarks alone
#   scripts/bench.sh -- ARGS...         ARGS go to the benchmark program (--benchmark_filter=...)
# Nothing here is a test: the numbers depend on the machine and its load.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bench_build=$root/build-bench
suite_build=$root/build
suite_options=(-DNRV_WITH_CROSS=ON -DNRV_SANITIZE=)
deps=(--bench)
suite=1
bench_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --suite-build=*)
      suite_build=$(realpath -m "${1#--suite-build=}")
      suite_options=()
      ;;
    --no-suite) suite=0 ;;
    --)
      shift
      bench_args=("$@")
      break
      ;;
    -h | --help)
      sed -n '2,10s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    *)
      echo "bench.sh: unknown option $1 (try --help)" >&2
      exit 2
      ;;
  esac
  shift
done
# The suite of build/ includes the cross build, as the test command's does.
if [ "$suite" = 0 ] || [ "${#suite_options[@]}" -eq 0 ]; then deps+=(--no-cross); fi

"$root/scripts/install-deps.sh" "${deps[@]}"
"$root/scripts/configure.sh" "$bench_build" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
  -DNRV_WITH_CROSS=OFF -DNRV_SANITIZE= -DNRV_BENCH=ON >/dev/null
cmake --build "$bench_build" --parallel "$(nproc)" --target nrv_bench

# Others' work on the machine slows every number down: the load is written beside them.
load=$(cut -d ' ' -f 1-3 /proc/loadavg)
table=$(mktemp)
trap 'rm -f "$table"' EXIT
"$bench_build/bench/nrv_bench" --table="$table" "${bench_args[@]}"

slowest=""
if [ "$suite" = 1 ]; then
  "$root/scripts/configure.sh" "$suite_build" "${suite_options[@]}" >/dev/null
  cmake --build "$suite_build" --parallel "$(nproc)"
  # Timed as the test command runs it.
  suite_load=$(cut -d ' ' -f 1 /proc/loadavg)
  start=$(date +%s.%N)
  suite_status=0
  ctest --test-dir "$suite_build" --parallel 2 --timeout 300 >/dev/null || suite_status=$?
  seconds=$(awk -v start="$start" -v end="$(date +%s.%N)" 'BEGIN { printf "%.1f", end - start }')
  tests=$(ctest --test-dir "$suite_build" -N | sed -n 's/^Total Tests: //p')
  outcome="$tests tests, load $suite_load before"
  [ "$suite_status" = 0 ] || outcome="$tests tests, SOME FAILED"
  awk -v seconds="$seconds" -v outcome="$outcome" -v build="$(basename "$suite_build")" 'BEGIN {
    printf "| whole test suite (%s, ctest -j2, %s) | real time in seconds | %.1f | under 120 | %.2f of the target |\n",
      outcome, build, seconds, seconds / 120 }' >>"$table"
  # CTest keeps each test's last time: the slowest ones, for a suite over its target.
  # (Each reader reads to the end: a pipe closed early would stop this script.)
  slowest=$(awk 'NF == 3 && $1 != "---"' "$suite_build/Testing/Temporary/CTestCostData.txt" 2>/dev/null |
    sort -k3 -g -r | awk 'NR <= 8 { printf "- %s: %.1f s\n", $1, $3 }')
fi

compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$bench_build/CMakeCache.txt")
{
  echo "# Benchmarks"
  echo
  echo "Written by \`scripts/bench.sh\`; what each row means is in README.md, section \"Benchmarks\"."
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- CPU: $(sed -n '/^model name/{s/^model name[[:space:]]*: //p;q}' /proc/cpuinfo), $(nproc) cores"
  echo "- memory: $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "- load average (1, 5, 15 minutes) before the benchmarks ran: $load"
  echo "- OS: $(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)"
  echo "- compiler: $("$compiler" --version | sed -n 1p), -O2"
  echo "- Google Benchmark: $(dpkg-query -W -f '${Version}' libbenchmark-dev 2>/dev/null || echo unknown)"
  echo
  cat "$table"
  if [ -n "$slowest" ]; then
    echo
    echo "Slowest tests of the suite (seconds each, from CTest's record):"
    echo
    echo "$slowest"
  fi
} >"$root/BENCHMARKS.md"
echo
cat "$root/BENCHMARKS.md"
