#!/usr/bin/env bash
# Soak runs, each load bounded in time (SECONDS_PER_RUN, default 120), under
# AddressSanitizer: initiators stream reads and writes through the device access library
# while the bus resets at random moments, one command at a time (Soak.OneAtATime) and with
# all four request slots of a login busy and ABORT TASK SET now and then (Soak.FullSlotSet).
# The optional argument is a gtest filter (e.g. 'Soak.FullSlotSet'). Stops by itself; exits
# non-zero on any failed, lost or wrong command and on any login that had to be made afresh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKM_SANITIZE=address,undefined \
  -DSKM_BENCH=OFF >/dev/null
cmake --build "$root/build/asan" -j "${JOBS:-2}" --target devaccess_soak
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}" DEVACCESS_SOAK_SECONDS="${SECONDS_PER_RUN:-120}" \
  "$root/build/asan/devaccess/devaccess_soak" --gtest_filter="${1:-Soak.*}"
