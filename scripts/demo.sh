#!/usr/bin/env bash
# Builds tarlok and runs it on a copy of the bundled sample save, showing the
# four bytes after the key before and after the patch: scripts/demo.sh [builddir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake -S . -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" -j2 --target tarlok >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/sample.sav "$work/sample.sav"

# The key stands with its NUL; the value follows the NUL.
offset=$(LC_ALL=C grep -obUaP 'Parts\.OwnedDamageRepairList\x00' "$work/sample.sav" | head -n 1 | cut -d: -f1)
value=$((offset + 28))
show() { od -An -tx1 -j "$value" -N 4 "$work/sample.sav" | tr -s ' ' | sed 's/^ //'; }

echo "key at offset $offset in a copy of examples/sample.sav"
echo "before: $(show)"
status=0
"$BUILD/tarlok" "$work/sample.sav" || status=$?
echo "tarlok exit status: $status"
echo "after:  $(show)"
