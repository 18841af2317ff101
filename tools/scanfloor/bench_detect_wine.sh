#!/usr/bin/env bash
# Detection only against a full run under Wine: VorlaxClean.exe /DETECT /SILENT and
# VorlaxClean.exe /SILENT timed in the same session over the tree of bench_wine.sh (C:\bench:
# 20,000 files, 2,000 candidates, 20 signature samples), in a copy of the scenario runner's NT
# template prefix. A detection run examines the same processes and files with the same
# signature test, but ends nothing, deletes nothing, leaves the protection driver alone and
# starts no shell; the goal is that it costs no more than the full run (ratio detect/full at
# most 1.0).
#
# Each round re-copies the 20 samples (a full run deletes them), deletes the log, and times
# both runs, the order alternating between rounds, after one untimed warm-up of each. Each run
# is checked: 20 "infection=1" lines; the detection run leaves all 20 samples and exits 4, the
# full run deletes them all and exits 1.
#
# Usage: bash tools/scanfloor/bench_detect_wine.sh   RUNS=7 (rounds), PREFIX=/tmp/wineperf-detect
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
RUNS=${RUNS:-7}
PREFIX=${PREFIX:-/tmp/wineperf-detect}
cd "$ROOT"
export WINEPREFIX=$PREFIX WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

ninja -C build/win32 VorlaxClean holdfile >/dev/null
[ -x build/host/samplegen ] || ninja -C build/host samplegen >/dev/null
if [ ! -f "$PREFIX/system.reg" ]; then
  template=$(python3 tests/wine/run_scenario.py --template-only nt)
  mkdir -p "$PREFIX"
  cp -a "$template/." "$PREFIX"
fi
C="$PREFIX/drive_c"
mkdir -p "$C/vctool"
cp build/win32/VorlaxClean.exe "$C/vctool/"

GEN=$(mktemp -d /tmp/wineperf-gen.XXXXXX)
build/host/samplegen sample --row 0 --size 12288 --seed 11 -o "$GEN/s0" >/dev/null
build/host/samplegen sample --row 1 --size 12288 --seed 12 -o "$GEN/s1" >/dev/null
for i in 1 2 3 4; do build/host/samplegen plain --size 12288 --seed $((20 + i)) -o "$GEN/c$i" >/dev/null; done
for i in 1 2 3; do build/host/samplegen plain --size $((1024 * i)) --seed $((30 + i)) -o "$GEN/o$i" >/dev/null; done
rm -rf "$C/bench"
# The same tree as bench_wine.sh.
python3 - "$C/bench" "$GEN" <<'PY'
import os, sys
root, gen = sys.argv[1], sys.argv[2]
rd = lambda n: open(os.path.join(gen, n), 'rb').read()
cand = [rd('c%d' % i) for i in range(1, 5)]
other = [rd('o%d' % i) for i in range(1, 4)]
cext = ['exe', 'ex_', 'exx', 'axe']
oext = ['txt', 'dll', 'dat', 'com', 'ini', 'bmp', 'hlp', 'sys', 'cfg']
samples = []
for a in range(20):
    for b in range(10):
        d = os.path.join(root, 'd%02d' % a, 's%d' % b)
        os.makedirs(d)
        for f in range(100):
            if f < 10:
                p = os.path.join(d, 'prog%02d.%s' % (f, cext[(a + b + f) % 4]))
                if b == 0 and f == 0:
                    samples.append(p)
                    continue
                data = cand[(a + f) % 4]
            else:
                p = os.path.join(d, 'file%02d.%s' % (f, oext[(a + b + f) % len(oext)]))
                data = other[f % 3]
            open(p, 'wb').write(data)
open(os.path.join(gen, 'samples.txt'), 'w').write('\n'.join(samples) + '\n')
PY

put_samples() {
  local i=0
  while read -r p; do cp "$GEN/s$((i % 2))" "$p"; i=$((i + 1)); done <"$GEN/samples.txt"
}
now() { date +%s.%N; }
FULL=()
DETECT=()
BAD=0
run() {  # $1 full|detect
  put_samples
  rm -f "$C/windows/VorlaxClean.log"
  local args=(/SILENT) want_exit=1 want_left=0 t0 t1 rc=0 hits left=0
  if [ "$1" = detect ]; then args=(/DETECT /SILENT); want_exit=4; want_left=20; fi
  t0=$(now)
  timeout 600 wine 'C:\vctool\VorlaxClean.exe' "${args[@]}" >/dev/null 2>&1 || rc=$?
  t1=$(now)
  hits=$(grep -c 'infection=1' "$C/windows/VorlaxClean.log" || true)
  while read -r p; do if [ -e "$p" ]; then left=$((left + 1)); fi; done <"$GEN/samples.txt"
  LAST=$(echo "$t1 - $t0" | bc)
  printf '%-7s %7.2f s  exit=%d infected=%d samples_left=%d\n' "$1" "$LAST" "$rc" "$hits" "$left"
  if [ "$rc" != "$want_exit" ] || [ "$hits" != 20 ] || [ "$left" != "$want_left" ]; then BAD=1; fi
}

wineserver -p 2>/dev/null || true
wine 'C:\vctool\VorlaxClean.exe' /VER >/dev/null 2>&1 || true
echo "-- warm-up (not counted)"
run full
run detect
for r in $(seq 1 "$RUNS"); do
  echo "-- round $r"
  if [ $((r % 2)) -eq 1 ]; then
    run full; FULL+=("$LAST"); run detect; DETECT+=("$LAST")
  else
    run detect; DETECT+=("$LAST"); run full; FULL+=("$LAST")
  fi
done
python3 - "${FULL[*]}" "${DETECT[*]}" <<'PY'
import statistics, sys
full, detect = ([float(x) for x in a.split()] for a in sys.argv[1:3])
med = statistics.median
fmt = lambda xs: ' '.join('%.2f' % x for x in xs)
print('== result (%d rounds)' % len(full))
print('full run   median %.2f s  (%s)' % (med(full), fmt(full)))
print('detection  median %.2f s  (%s)' % (med(detect), fmt(detect)))
ratio = med(detect) / med(full)
print('ratio detection/full %.3f  (goal <= 1.0: %s)' % (ratio, 'met' if ratio <= 1.0 else 'NOT met'))
PY
rm -rf "$GEN"
[ "${KEEP:-0}" = 1 ] || wineserver -k
[ "$BAD" = 0 ] || { echo "a run did not find or leave the samples as it should" >&2; exit 1; }
