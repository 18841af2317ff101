#!/usr/bin/env bash
# Drive-scan benchmark under Wine: VorlaxClean.exe /SILENT against scanfloor.exe, the bare
# walk + open + seek 1024 + read 7168 + CRC-32 + fputs/fflush-per-candidate loop built with the
# same MinGW-w64 i686 toolchain.
#
# What it does:
#   1. builds VorlaxClean.exe and scanfloor.exe in build/perf-win32 (cmake + ninja, Release),
#      and build/host/samplegen when it is missing;
#   2. creates the Wine prefix $PREFIX when it does not exist, as a copy of the scenario runner's
#      NT template (no Z: drive, the user's folders not linked to the Unix home), so that only
#      C:\ (the prefix's drive_c, Wine's C:\windows included) is walked;
#   3. writes a tree C:\bench: 20 x 10 folders x 100 files = 20,000 files; 2,000 of them are
#      candidates (.exe .ex_ .exx .axe), 20 of those are signature samples from samplegen
#      (rows 0 and 1), the other 1,980 are samplegen "plain" files; 18,000 non-candidates
#      (.txt .dll .dat .com .ini ...);
#   4. runs, in one wineserver session (wineserver -p), RUNS rounds of: re-copy the 20 samples
#      and delete the tool's log, time VorlaxClean.exe /SILENT; time scanfloor.exe. The order
#      inside a round alternates (tool first in odd rounds, floor first in even ones). One
#      untimed warm-up run of each comes first;
#   5. runs both programs again in each round with the tree moved out of drive_c: the difference
#      of the medians is each program's drive scan of the tree, without the costs that do not
#      belong to it (process start; for the tool the process scan and the shell start);
#   6. checks each tool run with the tree deleted exactly the 20 samples (20 "infection=1"
#      lines), and prints every time, the medians and the ratio tool/floor of the drive scan
#      (goal: at most 1.25) and of the whole runs.
#
# Usage: bash tools/scanfloor/bench_wine.sh      (from anywhere; needs Wine, see tools/wine-enable.sh)
#   RUNS=5 (rounds), PREFIX=/tmp/wineperf-bench, BUILD=build/perf-win32, KEEP=1 keeps wineserver up.
# Duration on this machine (32-bit Wine through qemu-user): about 40 s for a new prefix, a few
# seconds for the build, then about 2 x RUNS+1 program runs (see the printed times).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
RUNS=${RUNS:-5}
PREFIX=${PREFIX:-/tmp/wineperf-bench}
BUILD=${BUILD:-build/perf-win32}
cd "$ROOT"

export WINEPREFIX=$PREFIX WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

echo "== build"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$BUILD" VorlaxClean.exe scanfloor.exe >/dev/null
if [ ! -x build/host/samplegen ]; then
  cmake -S . -B build/host -G Ninja >/dev/null && ninja -C build/host samplegen >/dev/null
fi

echo "== prefix $PREFIX"
if [ ! -f "$PREFIX/system.reg" ]; then
  # A copy of the scenario runner's NT template: no Z: drive and no links from the user's
  # folders to the Unix home directory, so that only the prefix's own C: is walked.
  ninja -C build/win32 holdfile >/dev/null 2>&1 || {
    cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null && ninja -C build/win32 holdfile >/dev/null; }
  template=$(python3 tests/wine/run_scenario.py --template-only nt --cache "$ROOT/build/host/wine-prefixes")
  mkdir -p "$PREFIX"
  cp -a "$template/." "$PREFIX"
fi
C="$PREFIX/drive_c"
mkdir -p "$C/vctool"
cp "$BUILD/VorlaxClean.exe" "$BUILD/scanfloor.exe" "$C/vctool/"

echo "== tree C:\\bench"
GEN=$(mktemp -d /tmp/wineperf-gen.XXXXXX)
build/host/samplegen sample --row 0 --size 12288 --seed 11 -o "$GEN/s0" >/dev/null
build/host/samplegen sample --row 1 --size 12288 --seed 12 -o "$GEN/s1" >/dev/null
for i in 1 2 3 4; do build/host/samplegen plain --size 12288 --seed $((20 + i)) -o "$GEN/c$i" >/dev/null; done
for i in 1 2 3; do build/host/samplegen plain --size $((1024 * i)) --seed $((30 + i)) -o "$GEN/o$i" >/dev/null; done
rm -rf "$C/bench"
python3 - "$C/bench" "$GEN" <<'PY'
import os, sys
root, gen = sys.argv[1], sys.argv[2]
rd = lambda n: open(os.path.join(gen, n), 'rb').read()
cand = [rd('c%d' % i) for i in range(1, 5)]
other = [rd('o%d' % i) for i in range(1, 4)]
cext = ['exe', 'ex_', 'exx', 'axe']
oext = ['txt', 'dll', 'dat', 'com', 'ini', 'bmp', 'hlp', 'sys', 'cfg']
samples = []
n = 0
for a in range(20):
    for b in range(10):
        d = os.path.join(root, 'd%02d' % a, 's%d' % b)
        os.makedirs(d)
        for f in range(100):
            if f < 10:
                p = os.path.join(d, 'prog%02d.%s' % (f, cext[(a + b + f) % 4]))
                if b == 0 and f == 0:
                    samples.append(p)  # one sample per top folder: 20
                    continue
                data = cand[(a + f) % 4]
            else:
                p = os.path.join(d, 'file%02d.%s' % (f, oext[(a + b + f) % len(oext)]))
                data = other[f % 3]
            open(p, 'wb').write(data)
            n += 1
open(os.path.join(gen, 'samples.txt'), 'w').write('\n'.join(samples) + '\n')
print('written: %d files + %d samples' % (n, len(samples)))
PY

put_samples() {
  [ -d "$C/bench" ] || return 0   # the tree is moved aside
  local i=0
  while read -r p; do cp "$GEN/s$((i % 2))" "$p"; i=$((i + 1)); done <"$GEN/samples.txt"
}

now() { date +%s.%N; }
TIMES_TOOL=()
TIMES_FLOOR=()
run_tool() {
  put_samples
  rm -f "$C/windows/VorlaxClean.log"
  local t0 t1 rc=0
  t0=$(now)
  timeout 600 wine 'C:\vctool\VorlaxClean.exe' /SILENT >/dev/null 2>&1 || rc=$?
  t1=$(now)
  local hits left
  hits=$(grep -c 'infection=1' "$C/windows/VorlaxClean.log" || true)
  left=0
  while read -r p; do if [ -e "$p" ]; then left=$((left + 1)); fi; done <"$GEN/samples.txt"
  LAST=$(echo "$t1 - $t0" | bc)
  echo "tool   $(printf '%7.2f' "$LAST") s  exit=$rc infected=$hits samples_left=$left lines=$(cat "$C/windows/VorlaxClean.log" 2>/dev/null | wc -l)"
}
run_floor() {
  local t0 t1 out
  t0=$(now)
  out=$(timeout 600 wine 'C:\vctool\scanfloor.exe' 'C:\scanfloor.log' 2>/dev/null | tr -d '\r')
  t1=$(now)
  LAST=$(echo "$t1 - $t0" | bc)
  echo "floor  $(printf '%7.2f' "$LAST") s  $out"
}

# The tree is moved out of drive_c (a rename) for the runs "without the tree": what those
# take is each program's cost apart from walking C:\bench - the process start, for the tool
# also the process scan and the shell start (explorer.exe, which it starts on every run) - and
# the difference is the cost of the drive scan over the tree.
tree_off() { mv "$C/bench" "$PREFIX/bench.aside"; }
tree_on() { mv "$PREFIX/bench.aside" "$C/bench"; }

echo "== runs (wineserver kept up for the whole session)"
wineserver -p 2>/dev/null || true   # already running is fine
wine 'C:\vctool\VorlaxClean.exe' /VER >/dev/null 2>&1 || true   # starts the prefix's services
echo "-- warm-up (not counted)"
run_tool
run_floor
TOOL0=()
FLOOR0=()
for r in $(seq 1 "$RUNS"); do
  echo "-- round $r"
  if [ $((r % 2)) -eq 1 ]; then
    run_tool; TIMES_TOOL+=("$LAST"); run_floor; TIMES_FLOOR+=("$LAST")
    tree_off; run_tool; TOOL0+=("$LAST"); run_floor; FLOOR0+=("$LAST"); tree_on
  else
    tree_off; run_floor; FLOOR0+=("$LAST"); run_tool; TOOL0+=("$LAST"); tree_on
    run_floor; TIMES_FLOOR+=("$LAST"); run_tool; TIMES_TOOL+=("$LAST")
  fi
done
t0=$(now); wine 'C:\vctool\VorlaxClean.exe' /VER >/dev/null 2>&1 || true; t1=$(now)
echo "process start (VorlaxClean.exe /VER): $(echo "$t1 - $t0" | bc) s"

python3 - "${TIMES_TOOL[*]}" "${TIMES_FLOOR[*]}" "${TOOL0[*]}" "${FLOOR0[*]}" <<'PY'
import statistics, sys
tool, floor, tool0, floor0 = ([float(x) for x in a.split()] for a in sys.argv[1:5])
med = statistics.median
fmt = lambda xs: ' '.join('%.2f' % x for x in xs)
print('== result (%d runs each)' % len(tool))
print('with the tree     tool  median %.2f s  (%s)' % (med(tool), fmt(tool)))
print('                  floor median %.2f s  (%s)' % (med(floor), fmt(floor)))
print('without the tree  tool  median %.2f s  (%s)' % (med(tool0), fmt(tool0)))
print('                  floor median %.2f s  (%s)' % (med(floor0), fmt(floor0)))
scan_tool, scan_floor = med(tool) - med(tool0), med(floor) - med(floor0)
ratio = scan_tool / scan_floor
print('drive scan of the tree: tool %.2f s, floor %.2f s' % (scan_tool, scan_floor))
print('ratio tool/floor, drive scan %.3f  (goal <= 1.25: %s)' % (ratio, 'met' if ratio <= 1.25 else 'NOT met'))
print('ratio tool/floor, whole runs %.3f  (the tool also scans processes and starts the shell)'
      % (med(tool) / med(floor)))
PY

rm -rf "$GEN"
[ "${KEEP:-0}" = 1 ] || wineserver -k
