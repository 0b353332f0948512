#!/usr/bin/env bash
# `skellmere-sim info` as a user runs it: on an ISO and on a mixed-mode CUE/BIN (a data
# track, an audio track behind a stored pregap, an audio track without one) the JSON
# parses, every command answered GOOD, the raw answers are there and the TOC lists the
# image's tracks; the text names the features and shows the tracks; a DVD is not asked for
# the full TOC. (The per-track read of
# the same disc is in read_job_test.)
#
#   sim/info_command_test.sh SKELLMERE_SIM ISO MIXED.cue
set -euo pipefail
sim="$1"
iso="$2"
mixed="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

check_info() {  # json file, expected tracks as "number:type:start,...", lead-out
  python3 - "$@" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
raw = ["unit_directory", "inquiry", "read_capacity", "get_configuration", "mode_sense_2a", "read_toc_0",
       "read_toc_2", "read_disc_information"]
for key in raw:
    assert isinstance(doc.get(key), str) and len(doc[key]) >= 16, (key, doc.get(key))
    bytes.fromhex(doc[key])
    assert doc["status"][key] == "GOOD", (key, doc["status"][key])
assert doc["ok"] is True and doc["error"] == "", doc["error"]
d = doc["decoded"]
unit = d["unit_directory"]
assert unit["unit_spec_id"] == 0x00609E and unit["unit_sw_version"] == 0x010483, unit
assert unit["command_set"] == 0x0104D8 and unit["device_type"] == 5, unit
assert d["inquiry"]["vendor"] == "KORVEN" and d["inquiry"]["product"] == "RIRazuVezi VOVUV", d["inquiry"]
assert d["get_configuration"]["current_profile_name"] == "CD-ROM", d["get_configuration"]
names = {f["name"]: f["current"] for f in d["get_configuration"]["features"]}
assert names.get("CD Read") is True and names.get("DVD Read") is False, names
assert d["mode_sense_2a"]["audio_play"] is True and d["mode_sense_2a"]["max_read_speed_kbps"] == 8467, d["mode_sense_2a"]
want = [tuple(t.split(":")) for t in sys.argv[2].split(",")]
got = [(str(t["number"]), t["type"], str(t["start"])) for t in d["read_toc_0"]["tracks"]]
assert got == want, (got, want)
assert d["read_toc_0"]["lead_out"] == int(sys.argv[3]), d["read_toc_0"]
assert d["read_capacity"]["sectors"] == int(sys.argv[3]), d["read_capacity"]
# The full TOC: A0, A1, A2 and one entry per track, all in session 1.
points = sorted(e["point"] for e in d["read_toc_2"]["entries"])
assert points == sorted([int(n) for n, _, _ in want] + [0xA0, 0xA1, 0xA2]), points
assert d["read_disc_information"]["last_track_last_session"] == len(want), d["read_disc_information"]
PY
}

run() {  # expected status, output file, command...
  local want="$1" out="$2"
  shift 2
  local status=0
  "$sim" "$@" >"$out" || status=$?
  [ "$status" -eq "$want" ] || { echo "$* exited $status, not $want"; cat "$out"; exit 1; }
}

iso_sectors=$(( $(stat -c %s "$iso") / 2048 ))
run 0 "$work/iso.json" info "$iso" --json
check_info "$work/iso.json" "1:data:0" "$iso_sectors"
run 0 "$work/mixed.json" info "$mixed" --json --client mac
check_info "$work/mixed.json" "1:data:0,2:audio:450,3:audio:750" 950

# For a person: a section per command, the tracks and the features by name.
run 0 "$work/mixed.txt" info "$mixed"
for text in "Unit directory:" "Management_Agent" "INQUIRY:" "GET CONFIGURATION:" "CD External Audio Play" \
  "MODE SENSE page 2A" "audio play" "track 2  audio  LBA     450" "A2 lead-out" "READ DISC INFORMATION:"; do
  grep -qF "$text" "$work/mixed.txt" || { echo "info text lacks '$text'"; cat "$work/mixed.txt"; exit 1; }
done

# A DVD (a sparse ISO beyond a CD's size): the full TOC is a CD's and is not asked.
truncate -s 1G "$work/dvd.iso"
run 0 "$work/dvd.json" info "$work/dvd.iso" --json
python3 - "$work/dvd.json" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
assert doc["ok"] is True and doc["read_toc_2"] is None, doc["status"]
d = doc["decoded"]
assert d["get_configuration"]["current_profile_name"] == "DVD-ROM", d["get_configuration"]
assert d["mode_sense_2a"]["max_read_speed_kbps"] == 22160, d["mode_sense_2a"]
assert d["read_capacity"]["sectors"] == 1 << 19 and d["read_toc_0"]["lead_out"] == 1 << 19, d
PY

run 2 "$work/bad.txt" info "$iso" --client linux 2>/dev/null
echo "info command: ok"
