#!/usr/bin/env bash
# Installs what is needed, builds in release mode and runs the main job on the simulated
# machine. Extra arguments go to `skellmere-sim demo` (see --help of the program).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKM_BENCH=ON >/dev/null
cmake --build "$root/build/release" -j "${JOBS:-2}" --target skellmere-sim
exec "$root/build/release/sim/skellmere-sim" demo "$@"
