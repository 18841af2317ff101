#!/usr/bin/env bash
# Checks that sleeper.exe can carry signature bytes: its first section starts at file offset
# 0x2000, bytes 1024..8191 are header padding (all zero), and copies stamped by samplegen
# (row 0, row 1, near miss) differ from it only in bytes 4096..4099 and keep the same headers.
# usage: check_stamp.sh SLEEPER_EXE SAMPLEGEN [WORK_DIR]
set -euo pipefail
exe=$1
samplegen=$2
work=${3:-$(mktemp -d)}
mkdir -p "$work"
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

fail() { echo "check_stamp: $*" >&2; exit 1; }

sections=$("$objdump" -h "$exe")
headers=$("$objdump" -p "$exe")
first=$(awk '$1 ~ /^[0-9]+$/ && $6 != "00000000" {print $6; exit}' <<<"$sections")
[ "$first" = "00002000" ] || fail "first section at file offset 0x$first, not 0x2000"
grep -Eq '^SizeOfHeaders[[:space:]]+00002000$' <<<"$headers" || fail "SizeOfHeaders is not 0x2000"
grep -Eq '^FileAlignment[[:space:]]+00002000$' <<<"$headers" || fail "FileAlignment is not 0x2000"

nonzero=$(dd if="$exe" bs=1024 skip=1 count=7 status=none | tr -d '\0' | wc -c)
[ "$nonzero" = 0 ] || fail "bytes 1024..8191 are not all padding ($nonzero non-zero bytes)"

for kind in "sample --row 0" "sample --row 1" "near --row 0"; do
  out="$work/stamped_$(echo "$kind" | tr -d ' -').exe"
  # shellcheck disable=SC2086
  "$samplegen" $kind --base "$exe" -o "$out"
  [ "$(stat -c %s "$out")" = "$(stat -c %s "$exe")" ] || fail "$kind: size changed"
  # cmp -l prints 1-based offsets of differing bytes.
  offsets=$(cmp -l "$exe" "$out" | awk '{print $1 - 1}' | tr '\n' ' ' || true)
  for o in $offsets; do
    [ "$o" -ge 4096 ] && [ "$o" -le 4099 ] || fail "$kind: byte $o changed"
  done
  [ -n "$offsets" ] || fail "$kind: nothing was stamped"
  diff <("$objdump" -h -p "$exe" | tail -n +3) <("$objdump" -h -p "$out" | tail -n +3) >/dev/null \
    || fail "$kind: the headers read differently after stamping"
  echo "$kind: changed bytes $offsets"
done
echo "check_stamp: ok"
