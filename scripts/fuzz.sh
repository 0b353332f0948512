#!/usr/bin/env bash
# Runs every fuzz target for a longer time (default 600 s each); corpora are kept in
# build/fuzz/corpus between runs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
FUZZ_SECONDS="${1:-600}" FUZZ_ONLY=1 exec "$root/scripts/test.sh"
