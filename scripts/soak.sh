#!/usr/bin/env bash
# Soak runs, bounded in time (SECONDS_PER_RUN, default 120), under AddressSanitizer:
# initiators stream reads and writes through the device access library while the bus
# resets at random moments. Stops by itself; exits non-zero on any lost or wrong command.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKM_SANITIZE=address,undefined \
  -DSKM_BENCH=OFF >/dev/null
cmake --build "$root/build/asan" -j "${JOBS:-2}" --target devaccess_soak
DEVACCESS_SOAK_SECONDS="${SECONDS_PER_RUN:-120}" "$root/build/asan/devaccess/devaccess_soak"
