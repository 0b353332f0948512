#!/usr/bin/env bash
# `skellmere-sim read` as a user runs it: the JSON summary parses and has its keys, the
# exit status is 0 for a matching read, 1 when the data differ and 2 for a bad command line.
#
#   sim/read_command_test.sh SKELLMERE_SIM IMAGE
set -euo pipefail
sim="$1"
image="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

check_json() {  # file, expected match (true/false)
  python3 - "$1" "$2" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
keys = ["sectors", "bytes", "seconds", "model_seconds", "mb_per_s", "wire_ceiling_mb_per_s", "wire_ratio",
        "serving_cpu_ms_per_mib", "commands", "bus_requests", "sha256", "match", "pacing_error_us", "tracks"]
missing = [k for k in keys if k not in doc]
assert not missing, f"missing keys {missing}"
assert doc["serving_cpu_ms_per_mib"] > 0, doc
# The ceiling and the ratio are figures with wire time and null without.
if doc["wire"]:
    assert doc["wire_ceiling_mb_per_s"] > 0 and doc["wire_ratio"] > 0, doc
    assert abs(doc["wire_ratio"] - doc["mb_per_s"] / doc["wire_ceiling_mb_per_s"]) < 0.01, doc
else:
    assert doc["wire_ceiling_mb_per_s"] is None and doc["wire_ratio"] is None, doc
assert set(doc["pacing_error_us"]) >= {"p50", "p99"}, doc["pacing_error_us"]
assert doc["match"] is (sys.argv[2] == "true"), doc
assert doc["sectors"] > 0 and doc["bytes"] == 2048 * doc["sectors"], doc
assert len(doc["sha256"]) == 64, doc
# An ISO is one data track from LBA 0, which holds the whole read.
assert [(t["number"], t["type"], t["start"], t["sectors"]) for t in doc["tracks"]] == [(1, "data", 0, doc["sectors"])], doc
assert doc["tracks"][0]["match"] is doc["match"] and doc["tracks"][0]["sha256"] == doc["sha256"], doc
PY
}

status=0
"$sim" read "$image" --unpaced --json >"$work/good.json" || status=$?
[ "$status" -eq 0 ] || { echo "matching read exited $status"; cat "$work/good.json"; exit 1; }
check_json "$work/good.json" true
expected_sha="$(sha256sum "$image" | cut -d' ' -f1)"
grep -q "\"sha256\": \"$expected_sha\"" "$work/good.json" || { echo "digest differs"; exit 1; }

# Wire time on the simulated bus.
"$sim" read "$image" --unpaced --wire --speed S800 --json >"$work/wire.json" ||
  { echo "read with wire time failed"; cat "$work/wire.json"; exit 1; }
check_json "$work/wire.json" true

# The same disc compared with a copy that differs in one byte.
cp "$image" "$work/changed.iso"
python3 -c 'import sys
f = open(sys.argv[1], "r+b"); f.seek(17 * 2048 + 5); b = f.read(1)[0]; f.seek(17 * 2048 + 5); f.write(bytes([b ^ 1]))' \
  "$work/changed.iso"
status=0
"$sim" read "$image" --unpaced --client mac --speed S200 --json --expect "$work/changed.iso" >"$work/bad.json" ||
  status=$?
[ "$status" -eq 1 ] || { echo "differing read exited $status"; cat "$work/bad.json"; exit 1; }
check_json "$work/bad.json" false

status=0
"$sim" read "$image" --speed S1600 >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || { echo "bad speed exited $status"; exit 1; }
echo "read command: ok"
