#!/usr/bin/env bash
# Checksummed streams: seal a file, verify it, flip one byte, see it caught.
set -euo pipefail
tool="$1/examples/zr-crc"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

seq 1 60000 >"$dir/data"  # 348,894 bytes
"$tool" seal -b 4K "$dir/data" "$dir/data.crc"
"$tool" verify -b 4K "$dir/data.crc"

# Flip every bit of the byte at offset 100000 (in block 24).
byte=$(od -An -tu1 -j100000 -N1 "$dir/data.crc" | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 0xff)))" |
  dd of="$dir/data.crc" bs=1 seek=100000 conv=notrunc status=none
echo "flipped byte 100000"

status=0
"$tool" verify -b 4K "$dir/data.crc" || status=$?
if [ "$status" -ne 1 ]; then
  echo "zr-crc verify should have exited 1 on the damaged file, not $status" >&2
  exit 1
fi
echo "damage detected (exit 1), as expected"
