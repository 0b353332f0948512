#!/usr/bin/env bash
# read, info and serve on images that do not mount: each says why on the first line of its
# standard error, in words (the file named as the user gave it), and exits 3 before it
# prints anything else.
#
#   sim/mount_errors_test.sh SKELLMERE_SIM
set -euo pipefail
sim="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

: >empty.iso
printf 'FILE "x.bin" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n' >disc.cue
head -c 4704 /dev/zero >short.bin
printf 'FILE "short.bin" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:05:00\n' >short.cue
head -c 3000 /dev/zero >odd.iso
printf 'not a disc image\n' >text.nrg
printf 'not a disc image\n' >text.cdi
printf 'not a disc image\n' >text.b6t
printf 'not a disc image\n' >text.bwt
printf 'plain text\n' >notes.txt
mkdir folder.iso

rows=(
  "x.iso|cannot open 'x.iso': No such file or directory"
  "empty.iso|'empty.iso' is empty"
  "disc.cue|'disc.cue' line 1: cannot open file 'x.bin'"
  "short.cue|'short.cue' line 3: track 1 needs 375 sectors but 'short.bin' holds 2"
  "odd.iso|'odd.iso' is 3000 bytes long, which is not a multiple of the 2048-byte sector"
  "notes.txt|'notes.txt': unsupported image format 'txt'"
  "text.nrg|'text.nrg': not a Nero image: no footer"
  "text.cdi|'text.cdi': not a CDI image: no version in its footer"
  "text.b6t|'text.b6t': not a .b5t/.b6t descriptor: signature missing"
  "text.bwt|'text.bwt': not a .bwt descriptor: signature missing"
  "folder.iso|cannot open 'folder.iso': it is a directory"
)

failed=0
for command in read info serve; do
  for row in "${rows[@]}"; do
    file="${row%%|*}"
    want="${row#*|}"
    status=0
    args=("$command" "$file")
    [ "$command" = serve ] && args+=(--socket "$work/drive.sock")
    "$sim" "${args[@]}" >out.txt 2>err.txt </dev/null || status=$?
    first="$(head -n 1 err.txt)"
    if [ "$status" -ne 3 ] || [ "$first" != "$want" ] || [ -s out.txt ]; then
      echo "FAIL $command $file: exit $status"
      echo "  want: $want"
      echo "  got:  $first"
      sed 's/^/  out: /' out.txt
      failed=1
    fi
  done
done
[ "$failed" -eq 0 ] || exit 1
echo "mount errors: ok"
