#!/usr/bin/env bash
# Builds in release mode and runs the benchmarks.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKM_BENCH=ON >/dev/null
cmake --build "$root/build/release" -j "${JOBS:-2}"
for b in "$root"/build/release/bench/*_bench; do
  [ -x "$b" ] && "$b" "$@"
done
