#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for SECONDS seconds from the seed
# corpus in fuzz/corpus/<name>: scripts/fuzz.sh BUILDDIR SECONDS [NAME...]
# (every fuzz/<name>.cpp when no name is given).
# Exits non-zero when a target finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:?usage: scripts/fuzz.sh BUILDDIR SECONDS}
SECONDS_EACH=${2:?usage: scripts/fuzz.sh BUILDDIR SECONDS}

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DVORL_FUZZ=ON -DVORL_SANITIZE=address \
  -DVORL_TESTS=OFF -DVORL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
shift 2
NAMES=("$@")
if [ ${#NAMES[@]} -eq 0 ]; then
  for source in fuzz/*.cpp; do NAMES+=("$(basename "$source" .cpp)"); done
fi
cmake --build "$BUILD" -j2 --target "${NAMES[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for name in "${NAMES[@]}"; do
  corpus="$BUILD/corpus-$name"
  mkdir -p "$corpus"
  echo "fuzz_$name: ${SECONDS_EACH}s"
  status=0
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  "$BUILD/fuzz/fuzz_$name" -max_total_time="$SECONDS_EACH" "${dict[@]}" \
    -artifact_prefix="$BUILD/crash-$name-" -print_final_stats=1 "$corpus" $([ -d "fuzz/corpus/$name" ] && echo "fuzz/corpus/$name") \
    >"$BUILD/fuzz-$name.log" 2>&1 || status=$?
  tail -n 15 "$BUILD/fuzz-$name.log"
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$name found a fault (status $status); inputs in $BUILD/crash-$name-*"
    exit 1
  fi
done
