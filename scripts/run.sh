#!/usr/bin/env bash
# Installs what is needed, builds in release mode and runs the main job on the simulated
# machine: `skellmere-sim read` of the default disc image (made at build time). Extra
# arguments go to the read (see README.md), e.g. `scripts/run.sh --client mac --unpaced`.
# `scripts/run.sh read IMAGE ...` reads another image; `scripts/run.sh demo ...` runs the
# transport demo.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/release"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKM_BENCH=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target skellmere-sim default_image
case "${1:-}" in
  read | demo) exec "$build/bin/skellmere-sim" "$@" ;;
  *) exec "$build/bin/skellmere-sim" read "$build/images/default.iso" "$@" ;;
esac
