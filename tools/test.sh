#!/usr/bin/env bash
# Builds both programs and runs every test: unit tests, scenarios on the simulated machine,
# the fuzz corpora, the independent detector check and, where Wine runs, the scenarios on
# the real executable.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

jobs=$(nproc)
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build/win32
cmake -S . -B build/host -G Ninja -DVORLAX_WIN32_DIR="$PWD/build/win32" >/dev/null
ninja -C build/host
# The Wine tests run beside the others, so that the suite takes about as long as the slower of
# the two; their report follows. A Wine test is never run again here: the Wine runner itself
# tries a scenario again only when a probe of Wine shows that Wine failed, and says so (RETRY).
wine_log=build/host/wine-tests.log
notes=build/host/wine-notes
rm -rf "$notes"
# The template prefixes are made first, so that no Wine test's time limit counts the wait for
# them (minutes under qemu-user on loaded cores); a template that cannot be made here is tried
# again by the first test that needs it.
(
  for platform in nt 98; do
    /usr/bin/python3 tests/wine/run_scenario.py --template-only "$platform" --win32-dir build/win32 \
      --cache "$PWD/build/host/wine-prefixes" || echo "the $platform template prefix could not be made here"
  done
  ctest --test-dir build/host -j3 --output-on-failure -L wine
) >"$wine_log" 2>&1 &
wine_pid=$!
status=0
ctest --test-dir build/host -j"$jobs" --output-on-failure -LE wine || status=$?
wine_status=0
wait "$wine_pid" || wine_status=$?
cat "$wine_log"

# What the Wine tier could not check on this machine, and how often Wine itself failed.
skipped=0
retries=0
if [ -d "$notes" ]; then
  skipped=$(cat "$notes"/*.txt 2>/dev/null | grep -c '^SKIPPED ' || true)
  retries=$(cat "$notes"/*.txt 2>/dev/null | grep -c '^RETRY ' || true)
  for f in "$notes"/*.txt; do
    [ -f "$f" ] || continue
    sed "s|^|  $(basename "$f" .txt): |" "$f"
  done
fi
echo "Wine tier: $skipped expectations skipped, $retries retries"
if [ "$skipped" -gt 0 ]; then
  echo "  why skipped:"
  cat "$notes"/*.txt | sed -n 's/^SKIPPED [^:]*: //p' | sort | uniq -c | sed 's/^/   /'
fi
[ "$status" -eq 0 ] && [ "$wine_status" -eq 0 ]
