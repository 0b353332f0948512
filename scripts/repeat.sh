#!/usr/bin/env bash
# Runs one ctest test (or every test matching a regular expression) N times in a row and
# stops at the first failure, printing its output. For flaky-test hunts:
#
#   scripts/repeat.sh reliability_storm 50              # release build
#   BUILD=asan scripts/repeat.sh reliability_storm 50   # AddressSanitizer + UBSan
#   BUILD=tsan scripts/repeat.sh reliability_storm 50   # ThreadSanitizer
#   BUSY=1 scripts/repeat.sh reliability_storm 50       # beside a busy second process
#
# BUSY=1 keeps both cores loaded by a second process for the whole run (a compression
# loop standing in for a parallel build), as a user's machine is busy with other work.
# Exits 0 only when every run passed; the last line is "N passed, M failed".
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -lt 2 ]; then
  echo "usage: $0 TEST-REGEX COUNT" >&2
  exit 2
fi
pattern="$1"
count="$2"
build="${BUILD:-release}"
dir="$root/build/$build"

"$root/scripts/setup.sh" >/dev/null
case "$build" in
  release) args=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan) args=(-DCMAKE_BUILD_TYPE=Debug -DSKM_SANITIZE=address,undefined) ;;
  tsan) args=(-DCMAKE_BUILD_TYPE=Debug -DSKM_SANITIZE=thread) ;;
  *) echo "BUILD must be release, asan or tsan" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$dir" -G Ninja -DSKM_WERROR=ON -DSKM_BENCH=OFF "${args[@]}" >/dev/null
cmake --build "$dir" -j "${JOBS:-2}" >/dev/null

busy_pids=()
stop_busy() { for p in "${busy_pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap stop_busy EXIT
if [ -n "${BUSY:-}" ]; then
  for _ in 1 2; do
    (while :; do head -c 64M /dev/urandom | gzip -1 >/dev/null; done) &
    busy_pids+=($!)
  done
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run=(ctest --test-dir "$dir" --output-on-failure -R "$pattern")
# ThreadSanitizer needs the address space layout it was built for.
[ "$build" = tsan ] && run=(setarch "$(uname -m)" -R "${run[@]}")

passed=0
failed=0
log="$(mktemp)"
for i in $(seq 1 "$count"); do
  if "${run[@]}" >"$log" 2>&1; then
    if grep -q "No tests were found" "$log"; then
      echo "no test matches '$pattern'" >&2
      exit 2
    fi
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "run $i failed:"
    cat "$log"
    break
  fi
done
rm -f "$log"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
