#!/usr/bin/env bash
# End-to-end timing of tarlok against a minimal C program that reads the
# file, patches the first key and writes it back (bench/minipatch.c), on a
# 1 MiB and a 16 MiB save, in the same run: bench/e2e.sh [builddir] [runs]
# Prints the median wall time of each and the ratio tarlok / minimal, and
# the same for tarlok on a missing file against /bin/true (its start and stop).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-bench}
RUNS=${2:-31}

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORL_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target tarlok >/dev/null
cc -O2 -o "$BUILD/minipatch" bench/minipatch.c

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A save of size bytes of filler with the key near its end, so that both
# programs scan nearly all of it.
makesave() {
  local path=$1 size=$2
  head -c $((size - 64)) /dev/zero | tr '\0' 'x' >"$path"
  printf 'Parts.OwnedDamageRepairList\000\052\000\000\000' >>"$path"
  head -c 32 /dev/zero | tr '\0' 'y' >>"$path"
}

# Times are taken from EPOCHREALTIME (microseconds, bash 5), which starts
# no process of its own.

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Each run* function runs one program once, failing on an unexpected status.
runtarlok() { "$BUILD/tarlok" "$1" >/dev/null || [ $? -eq 1 ]; }
runminimal() { "$BUILD/minipatch" "$1" >/dev/null || [ $? -eq 1 ]; }
# A missing file gets the usage line, whose exit status is its length.
runmissing() { "$BUILD/tarlok" "$work/missing.sav" >/dev/null || true; }
runtrue() { /bin/true; }

# compare LABEL FIRST SECOND [ARGUMENT]: runs the two alternately, so that
# both see the same cache and load, and prints both medians and the ratio.
compare() {
  local label=$1 first=$2 second=$3 argument=${4:-} i start end
  : >"$work/first.times"
  : >"$work/second.times"
  for ((i = 0; i < RUNS; i++)); do
    start=${EPOCHREALTIME/[.,]/}; "$first" "$argument"; end=${EPOCHREALTIME/[.,]/}
    echo $((10#$end - 10#$start)) >>"$work/first.times"
    start=${EPOCHREALTIME/[.,]/}; "$second" "$argument"; end=${EPOCHREALTIME/[.,]/}
    echo $((10#$end - 10#$start)) >>"$work/second.times"
  done
  local t m
  t=$(median <"$work/first.times")
  m=$(median <"$work/second.times")
  awk -v s="$label" -v t="$t" -v m="$m" \
    'BEGIN { printf "%-8s %14.3f %14.3f %8.2f\n", s, t / 1e3, m / 1e3, t / m }'
}

printf '%-8s %14s %14s %8s\n' size "tarlok ms" "minimal ms" ratio
for mib in 1 16; do
  save="$work/save-$mib.sav"
  makesave "$save" $((mib * 1024 * 1024))
  compare "${mib} MiB" runtarlok runminimal "$save"
done
# What starting and stopping the library costs (heap, file system, device
# thread): tarlok on a file that does not exist against /bin/true.
printf '%-8s %14s %14s %8s\n' start "tarlok ms" "/bin/true ms" ratio
compare missing runmissing runtrue
