#!/usr/bin/env bash
# Mutation testing: scripts/mutate.sh [--seed N] [--count N] [--jobs N] [--labels REGEX] [--only 3,7] [--list]
# Applies reproducible random mutants to a copy of the library and tool
# sources, one at a time, and reports which ones the test suite kills.
# See docs/mutation.md.
set -euo pipefail
exec python3 "$(dirname "$0")/mutate.py" "$@"
