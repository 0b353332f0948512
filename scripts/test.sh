#!/usr/bin/env bash
# Builds and runs every test: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests again under ThreadSanitizer, and each
# fuzz target for a short smoke run. Exits non-zero on any failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${JOBS:-2}"
fuzz_seconds="${FUZZ_SECONDS:-20}"

"$root/scripts/setup.sh"

configure() {  # dir, extra cmake args...
  local dir="$1"; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKM_WERROR=ON -DSKM_BENCH=OFF "$@" >/dev/null
}

if [ -z "${FUZZ_ONLY:-}" ]; then
echo "== AddressSanitizer + UndefinedBehaviorSanitizer: all tests"
configure "$root/build/asan" -DSKM_SANITIZE=address,undefined
cmake --build "$root/build/asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build/asan" --output-on-failure -j "$jobs"

echo "== ThreadSanitizer: threaded tests"
configure "$root/build/tsan" -DSKM_SANITIZE=thread
cmake --build "$root/build/tsan" -j "$jobs"
# ThreadSanitizer needs the address space layout it was built for.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  setarch "$(uname -m)" -R ctest --test-dir "$root/build/tsan" --output-on-failure -j "$jobs" -L threaded

fi

echo "== Fuzz targets: ${fuzz_seconds} s each"
cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKM_FUZZ=ON \
  -DSKM_SANITIZE=address,undefined -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$root/build/fuzz" -j "$jobs" --target fuzzers
fuzz_passed=0
for f in $(find "$root/build/fuzz" -name '*_fuzz' -type f -perm -u+x | sort); do
  echo "-- $(basename "$f")"
  corpus="$root/build/fuzz/corpus/$(basename "$f")"
  mkdir -p "$corpus"
  seeds="$root/fuzz/corpus/$(basename "$f")"
  dirs=("$corpus")
  [ -d "$seeds" ] && dirs+=("$seeds")
  ASAN_OPTIONS=detect_leaks=1 "$f" -max_total_time="$fuzz_seconds" "${dirs[@]}" 2>&1 | tail -n 3
  fuzz_passed=$((fuzz_passed + 1))
done
echo "fuzz: $fuzz_passed targets ran clean"
