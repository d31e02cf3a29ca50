#!/usr/bin/env bash
# Makes sure this Debian machine has what the build needs, installing what is missing.
#   scripts/install-deps.sh                 host build, the cross build of the Windows images,
#                                           and the tools the tests read nrvsim's files with
#   scripts/install-deps.sh --no-cross      without the cross build
#   scripts/install-deps.sh --no-test-tools without the tests' tools (tshark, xmllint)
#   scripts/install-deps.sh --bench         also Google Benchmark, for scripts/bench.sh
#   scripts/install-deps.sh --fuzz          also clang and its libFuzzer runtime, for the fuzzers
set -euo pipefail

cross=1
test_tools=1
bench=0
fuzz=0
for arg in "$@"; do
  case "$arg" in
    --no-cross) cross=0 ;;
    --no-test-tools) test_tools=0 ;;
    --bench) bench=1 ;;
    --fuzz) fuzz=1 ;;
    -h | --help)
      sed -n '2,8s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    *)
      echo "install-deps: unknown option $arg" >&2
      exit 2
      ;;
  esac
done

have() { command -v "$1" >/dev/null 2>&1; }

have_gtest() {
  [ -f /usr/include/gtest/gtest.h ] || return 1
  compgen -G '/usr/lib/*/cmake/GTest/GTestConfig.cmake' >/dev/null ||
    compgen -G '/usr/lib/cmake/GTest/GTestConfig.cmake' >/dev/null ||
    compgen -G '/usr/lib/*/libgtest_main.*' >/dev/null
}

# The libFuzzer runtime sits among clang's own libraries (the folder's layout changed over versions).
have_libfuzzer() {
  local resources
  resources=$(clang++ --print-resource-dir 2>/dev/null) || return 1
  compgen -G "$resources/lib/*/libclang_rt.fuzzer*.a" >/dev/null
}

have_benchmark() {
  [ -f /usr/include/benchmark/benchmark.h ] &&
    compgen -G '/usr/lib/*/cmake/benchmark/benchmarkConfig.cmake' >/dev/null
}

missing=()
have cmake || missing+=(cmake)
have g++ || missing+=(g++)
have ninja || have make || missing+=(make)
have_gtest || missing+=(libgtest-dev)
if [ "$test_tools" = 1 ]; then
  # The tests read nrvsim's captures back with tshark and check its timelines with xmllint.
  have tshark || missing+=(tshark)
  have xmllint || missing+=(libxml2-utils)
fi
if [ "$bench" = 1 ]; then
  have_benchmark || missing+=(libbenchmark-dev)
fi
if [ "$cross" = 1 ]; then
  have i686-w64-mingw32-g++ || missing+=(g++-mingw-w64-i686)
  have i686-w64-mingw32-windres || missing+=(binutils-mingw-w64-i686)
fi

if [ "$fuzz" = 1 ]; then
  have clang++ || missing+=(clang)
  have clang++ && have_libfuzzer || missing+=(libclang-rt-dev)
fi

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all build tools are present."
else
  if [ "$(id -u)" = 0 ]; then
    sudo=()
  elif have sudo && sudo -n true 2>/dev/null; then
    sudo=(sudo -n)
  else
    sudo=(unavailable)
  fi
  if ! have apt-get || [ "${sudo[0]:-}" = unavailable ]; then
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: cannot install them here (needs apt-get and root). Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  "${sudo[@]}" apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The top-level CMakeLists.txt needs CMake 3.25; an older distribution's cmake will not do.
version=$(cmake --version | sed -n '1s/[^0-9]*\([0-9][0-9.]*\).*/\1/p')
if [ "$(printf '%s\n' 3.25 "$version" | sort -V | head -n 1)" != 3.25 ]; then
  echo "install-deps: cmake $version is too old; 3.25 or newer is needed (Debian 12 has it)." >&2
  exit 1
fi
