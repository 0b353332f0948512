#!/usr/bin/env bash
# Writes PNG pictures of the program's menus and dialogs as the headless screen
# shows them, for people to look at: scripts/snapshots.sh DIR
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
mkdir -p "$1"
dir="$(cd "$1" && pwd)"
build="$root/build/release"
"$root/scripts/setup.sh" >/dev/null
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKM_BENCH=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target trayui_snapshots tray_snapshots >/dev/null
"$build/trayui/trayui_snapshots" "$dir"
"$build/tray/tray_snapshots" "$dir"
