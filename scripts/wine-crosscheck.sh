#!/usr/bin/env bash
# Runs tarlok of a Linux build and tarlok.exe of a Windows x86_64 build (under
# wine64) on the same end-to-end cases and compares what each leaves: exit
# status, standard output and the file's bytes. Standard error is not
# compared (it names the platform's reasons).
#   scripts/wine-crosscheck.sh [linux build dir] [windows build dir]
# Uses WINEPREFIX and WINEDEBUG from the environment (see .ci/run).
set -euo pipefail
cd "$(dirname "$0")/.."
LINUX=${1:-build}
WINDOWS=${2:-build-win64}
WINE=${WINE:-/usr/lib/wine/wine64}
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine)

[ -x "$LINUX/tarlok" ] || { cmake -S . -B "$LINUX" -G Ninja >/dev/null && cmake --build "$LINUX" -j2 --target tarlok >/dev/null; }
[ -f "$WINDOWS/tarlok.exe" ] || {
  cmake -S . -B "$WINDOWS" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
  cmake --build "$WINDOWS" -j2 --target tarlok >/dev/null
}

LINUXTARLOK=$(realpath "$LINUX/tarlok")
WINDOWSTARLOK=$(realpath "$WINDOWS/tarlok.exe")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/cases" "$work/linux" "$work/windows"

key() { printf 'Parts.OwnedDamageRepairList\000'; }
filler() { head -c "$1" /dev/urandom; }

# The cases: the bytes of each file before the run.
: >"$work/cases/empty.sav"
filler 28 >"$work/cases/size28.sav"
{ key; printf '\052\001\377\177'; } >"$work/cases/keyonly.sav"
{ filler 1000; key; printf '\052\001\377\177'; filler 300; key; printf '\001\002\003\004'; filler 5000; } >"$work/cases/twokeys.sav"
{ filler 40; key; printf '\001\002\003'; } >"$work/cases/shorttail.sav"
{ filler 100000; } >"$work/cases/nokey.sav"
{ filler 20000; printf 'parts.OwnedDamageRepairList\000\001\002\003\004'; } >"$work/cases/lowercase.sav"
{ key; printf '\052\001\377\177'; head -c $((33 * 1024 * 1024)) /dev/zero; } >"$work/cases/huge.sav"
cp examples/sample.sav "$work/cases/sample.sav"

failures=0
# run <side> <name> [argument...]: one run of one side in its own copy of
# the cases; records status, output and the file's bytes afterwards.
run() {
  local side=$1 name=$2
  shift 2
  local dir="$work/$side/$name"
  mkdir -p "$dir"
  # (the 33 MiB case is copied only for its own run)
  find "$work/cases" -name '*.sav' ! -name huge.sav -exec cp {} "$dir/" \;
  [ "$name" != huge ] || cp "$work/cases/huge.sav" "$dir/"
  # An argument "@/name" is the absolute path of name in the run's own copy.
  local args=() arg
  for arg in "$@"; do
    case "$arg" in
      @/*) args+=("$dir/${arg#@/}") ;;
      *) args+=("$arg") ;;
    esac
  done
  set -- "${args[@]}"
  local status=0
  if [ "$side" = linux ]; then
    (cd "$dir" && "$LINUXTARLOK" "$@" >"$dir.out" 2>"$dir.err" </dev/null) || status=$?
  else
    (cd "$dir" && "$WINE" "$WINDOWSTARLOK" "$@" >"$dir.out" 2>"$dir.err" </dev/null) || status=$?
  fi
  echo "$status" >"$dir.status"
}

# silent <name>: the Windows run printed nothing of tarlok's own, neither
# on standard output nor a "tarlok:" line on standard error.
silent() { [ ! -s "$work/windows/$1.out" ] && ! grep -q '^tarlok:' "$work/windows/$1.err"; }

# problems <name>: prints how the sides differ (status, output, files), if at all.
problems() {
  local name=$1 problem=""
  cmp -s "$work/linux/$name.status" "$work/windows/$name.status" ||
    problem+=" status $(cat "$work/linux/$name.status")/$(cat "$work/windows/$name.status")"
  cmp -s "$work/linux/$name.out" "$work/windows/$name.out" || problem+=" output"
  diff -r -q "$work/linux/$name" "$work/windows/$name" >/dev/null || problem+=" files"
  echo "$problem"
}

check() {
  local name=$1
  shift
  run linux "$name" "$@"
  run windows "$name" "$@"
  # Now and then wine fails to start a program at all (its exit status is
  # then 1, with nothing printed). A run that differs and in which tarlok
  # said nothing runs once more, as ctest's failures of that kind do in
  # .ci/run; a difference that the program itself makes stays on the rerun.
  if [ -n "$(problems "$name")" ] && silent "$name"; then
    echo "tarlok.exe said nothing for $name (status $(cat "$work/windows/$name.status")); wine printed:"
    sed 's/^/  | /' "$work/windows/$name.err"
    rm -rf "$work/windows/$name"
    run windows "$name" "$@"
  fi
  local problem
  problem=$(problems "$name")
  if [ -n "$problem" ]; then
    echo "DIFFERS: $name ($*):$problem"
    failures=$((failures + 1))
  else
    echo "same: $name ($*): status $(cat "$work/linux/$name.status")"
  fi
}

check noargument
check missing missing.sav
check empty empty.sav
check size28 size28.sav
check keyonly keyonly.sav
check twokeys twokeys.sav
check shorttail shorttail.sav
check nokey nokey.sav
check lowercase lowercase.sav
check huge huge.sav
check sample sample.sav
check twoarguments keyonly.sav twokeys.sav
check directory .
check absolute @/twokeys.sav

if [ $failures -gt 0 ]; then
  echo "$failures case(s) differ between Linux and Windows"
  exit 1
fi
echo "tarlok: Linux and Windows (wine64) agree on every case"
