#!/usr/bin/env bash
# zr-crc run as its users run it: the exit status table (0 intact, 1 damaged,
# 2 trouble) with the message that tells which, pipes, and seals that fail
# leaving their output as it was.   Usage: zr_crc_test.sh PATH/TO/zr-crc
set -u
crc=$1
dir=$(mktemp -d)
trap 'chmod -R u+rwx "$dir"; rm -rf "$dir"' EXIT
chmod 755 "$dir"
cd "$dir" || exit 1
cases=0 failed=0

# expect STATUS TEXT COMMAND...: COMMAND exits with STATUS and TEXT is part of
# what it prints (stdout and stderr); an empty TEXT means it prints nothing.
expect() {
  local want=$1 text=$2 out status
  shift 2
  out=$("$@" 2>&1)
  status=$?
  cases=$((cases + 1))
  if [ "$status" -ne "$want" ] || { [ -z "$text" ] && [ -n "$out" ]; } || [[ "$out" != *"$text"* ]]; then
    echo "FAIL: $* -> exit $status, want $want; printed: ${out:-nothing}; want: ${text:-nothing}"
    failed=$((failed + 1))
  fi
}
# flip OFFSET NAME: NAME is the sealed file with the byte at OFFSET changed.
flip() {
  cp sealed "$2"
  printf 'X' | dd of="$2" bs=1 seek="$1" conv=notrunc status=none
}

seq 1 20000 >data # 108894 bytes: 26 blocks of 4 KiB and one of 2398 bytes
"$crc" seal -b 4K data sealed >/dev/null || exit 1
flip 50000 data-byte
flip $((108894 + 4 * 3 + 1)) checksum
head -c -1 sealed >truncated
{ cat sealed && echo; } >extended
printf abcdefgh >eight
"$crc" seal -q -b 4 eight eight.crc
printf '\2' | dd of=eight.crc bs=1 seek=16 conv=notrunc status=none
mkdir directory
echo unreadable >unreadable
chmod 000 unreadable
# Root reads a file whatever its mode: read it as nobody then.
as_user=() && [ "$(id -u)" -ne 0 ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)

expect 0 "sealed: OK (108894 data bytes, 27 checksums of 4096-byte blocks)" "$crc" verify -b 4K sealed
expect 1 "data-byte: DAMAGED: block 12 (data bytes 49152 to 53247) or its checksum at byte 108942 does not match" \
  "$crc" verify -b 4K data-byte
expect 1 "checksum: DAMAGED: block 3 (data bytes 12288 to 16383) or its checksum at byte 108906" \
  "$crc" verify -b 4K checksum
expect 1 "eight.crc: DAMAGED: the checksum of the empty last block, at byte 16, is not 01 00 00 00" \
  "$crc" verify -b 4 eight.crc
for f in truncated extended; do
  expect 1 "$f: DAMAGED: no block matches its checksum: truncated, extended, or sealed with another" \
    "$crc" verify -b 4K "$f"
done
expect 1 "sealed: DAMAGED: no block matches its checksum" "$crc" verify -b 1K sealed
expect 1 "sealed: DAMAGED: 109002 bytes cannot be data plus checksums of 2-byte blocks: truncated" \
  "$crc" verify -b 2 sealed
expect 2 "zr-crc: missing: No such file or directory" "$crc" verify -b 4K missing
expect 2 "zr-crc: directory: Is a directory" "$crc" verify -b 4K directory
if "${as_user[@]}" true 2>/dev/null && "${as_user[@]}" "$crc" --version >/dev/null 2>&1; then
  expect 2 "zr-crc: unreadable: Permission denied" "${as_user[@]}" "$crc" verify -b 4K unreadable
else
  echo "SKIP: unreadable (cannot run $crc as nobody here)"
fi
expect 2 "zr-crc: /dev/full: No space left on device" "$crc" seal -b 4K data /dev/full
expect 2 "" "$crc" -q verify -b 4K missing sealed
expect 1 "" "$crc" verify -q -b 4K sealed data-byte
expect 2 "zr-crc: data and ./data are the same file" "$crc" seal -b 4K data ./data

# Usage.
expect 2 "zr-crc: -b 0: block size must be at least 1" "$crc" verify -b 0 sealed
expect 2 "zr-crc: -b  64: not a size: digits, then optionally K, M or G" "$crc" verify -b " 64" sealed
expect 2 "zr-crc: -b +64: not a size" "$crc" verify -b +64 sealed
expect 2 "zr-crc: -b 1025G: block size must be at most 1024G" "$crc" verify -b 1025G sealed
expect 2 "zr-crc: verify needs -b SIZE" "$crc" verify sealed
expect 0 "Exit status: 0 if every FILE is intact" "$crc" --help
expect 0 "zr-crc (libzrshared) 2." "$crc" --version

# Pipes: standard input and output.
expect 0 "" sh -c "cat data | '$crc' seal -q --block-size=4K - - | cmp - sealed"
expect 0 "-: OK (108894 data bytes" sh -c "cat sealed | '$crc' verify -b 4K -"
expect 1 "-: DAMAGED: block 12" sh -c "'$crc' verify -b 4K - <data-byte"

# A seal that fails leaves OUT as it was, and no temporary file behind:
# input a directory, input unreadable (EIO), output over the file size
# limit (EFBIG, as a full disk would fail it).
echo old >out
expect 2 "zr-crc: directory: Is a directory" "$crc" seal -b 4K directory out
expect 2 "zr-crc: /proc/self/mem: Input/output error" "$crc" seal -b 4K /proc/self/mem out
expect 2 "zr-crc: out: File too large" sh -c "ulimit -f 64; trap '' XFSZ; exec '$crc' seal -b 4K data out"
expect 0 "" sh -c '[ "$(cat out)" = old ] && [ -z "$(ls -A | grep "^\.out")" ]'
expect 0 "out: sealed 108894 data bytes in 27 blocks of 4096 (109002 bytes)" \
  sh -c "'$crc' seal -b 4K data out && cmp out sealed"

echo "zr-crc: $((cases - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
