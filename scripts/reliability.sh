#!/usr/bin/env bash
# Reliability runs of the whole stack under AddressSanitizer and UndefinedBehaviorSanitizer,
# each bounded in time (SECONDS_PER_RUN, default 60): a bus reset storm during whole-disc
# reads by two initiators on two controllers, a hostile initiator beside a well-behaved
# one, injected bus, pool and engine faults, and teardown with commands in flight. Stops by
# itself; exits non-zero on any lost or wrong command or any leak. Extra arguments go to
# every run (e.g. --image PATH, --seed N).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKM_SANITIZE=address,undefined \
  -DSKM_BENCH=OFF >/dev/null
cmake --build "$root/build/asan" -j "${JOBS:-2}" --target skellmere-reliability
status=0
for run in storm hostile faults teardown; do
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$root/build/asan/bin/skellmere-reliability" "$run" --seconds "${SECONDS_PER_RUN:-60}" "$@" || status=1
done
exit "$status"
