#!/usr/bin/env bash
# The one test command: installs what is missing, builds everything (the host build and
# the cross build of the Windows images) and runs every test.
#   scripts/test.sh                     build/       host and cross; then the fuzzers (build-fuzz/, clang)
#   scripts/test.sh --sanitize=address  build-asan/  ASan and UBSan, host only
#   scripts/test.sh --sanitize=thread   build-tsan/  TSan, host only
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

build=$root/build
options=(-DNRV_WITH_CROSS=ON -DNRV_SANITIZE=)
deps=(--fuzz)
fuzz=1
for arg in "$@"; do
  case "$arg" in
    --sanitize=address)
      build=$root/build-asan
      options=(-DNRV_SANITIZE=address -DNRV_WITH_CROSS=OFF)
      deps=(--no-cross)
      fuzz=0
      # Undefined behaviour fails the test instead of only printing a report.
      export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
      ;;
    --sanitize=thread)
      build=$root/build-tsan
      options=(-DNRV_SANITIZE=thread -DNRV_WITH_CROSS=OFF)
      deps=(--no-cross)
      fuzz=0
      ;;
    -h | --help)
      sed -n '2,6s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    *)
      echo "test.sh: unknown option $arg (try --help)" >&2
      exit 2
      ;;
  esac
done

"$root/scripts/install-deps.sh" "${deps[@]}"
"$root/scripts/configure.sh" "$build" "${options[@]}"
cmake --build "$build" --parallel "$(nproc)"
# A test that hangs fails after the timeout instead of stalling the run.
ctest --test-dir "$build" --output-on-failure --parallel 2 --timeout 300

# The fuzzers, built with clang in a tree of their own: each runs over its seed
# corpus and a few thousand mutations (scripts/fuzz.sh runs one for longer).
if [ "$fuzz" = 1 ]; then
  "$root/scripts/configure.sh" "$root/build-fuzz" -DNRV_FUZZ=ON -DNRV_WITH_CROSS=OFF -DNRV_SANITIZE= \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  cmake --build "$root/build-fuzz" --parallel "$(nproc)" --target nrv_fuzzers
  ctest --test-dir "$root/build-fuzz" -L fuzz --output-on-failure --parallel 2 --timeout 600
fi
