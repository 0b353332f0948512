#!/usr/bin/env bash
# Every sample image sim/make-format-samples.py makes mounts, and `skellmere-sim read`
# reads from it exactly the sectors of sample.iso it was made from.
#
#   sim/format_samples_test.sh SKELLMERE_SIM SAMPLE_DIR
set -euo pipefail
sim="$1"
dir="$2"
failed=0
for image in "$dir"/sample.*; do
  case "$image" in *.iso | *.b5i | *.b6i | *.bwi | *.bin | *.mdf | *.json | *.err) continue ;; esac
  status=0
  "$sim" read "$image" --unpaced --json --expect "$dir/sample.iso" >"$dir/read.json" 2>"$dir/read.err" || status=$?
  if [ "$status" -ne 0 ] || ! grep -q '"match": true' "$dir/read.json"; then
    echo "FAIL $(basename "$image"): exit $status"
    sed 's/^/  /' "$dir/read.err" "$dir/read.json"
    failed=1
  else
    echo "ok $(basename "$image")"
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "format samples: ok"
