#!/bin/sh
# Builds the libFuzzer targets with clang-14 (-fsanitize=fuzzer,address,undefined) into
# build/fuzz and runs one of them.
#
#   tests/fuzz/run_fuzzers.sh build                  build every target
#   tests/fuzz/run_fuzzers.sh TARGET --runs N        build, then run TARGET for N executions
#   tests/fuzz/run_fuzzers.sh TARGET --seconds S     build, then run TARGET for S seconds
#   ... [-- LIBFUZZER-OPTIONS]                       passed on to the fuzzer (e.g. -jobs=2)
#
# Targets: ini (tests/fuzz/ini_fuzz.cpp), rename_list (tests/fuzz/rename_list_fuzz.cpp).
# The fuzzer starts from a copy of tests/fuzz/corpus/TARGET in build/fuzz/corpus/TARGET (kept
# between runs; the seeds in the tree are not touched). Crash, leak and timeout inputs land in
# build/fuzz/artifacts/TARGET/; replay one with build/fuzz/TARGET_fuzz FILE, or copy it into the
# seed corpus so that the host build's ctest (label "fuzz") replays it from then on.
# The product sources are instrumented for coverage and built with AddressSanitizer and UBSan;
# the simulated machine is built optimised and without instrumentation, since its streams pass
# every byte through a call of their own and would otherwise dominate the run time.
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT="$ROOT/build/fuzz"
CXX=${CXX:-clang++-14}
SANITIZE="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
CXXFLAGS="-std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -I$ROOT -I$ROOT/sim/include"

usage() {
  sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}

sources_of() {
  case "$1" in
    ini) echo "fileops/ini_file.cpp" ;;
    rename_list) echo "fileops/rename_list_file.cpp detect/crc32.cpp" ;;
    *) echo "unknown target: $1" >&2; usage ;;
  esac
}

build_sim() {
  mkdir -p "$OUT/obj/sim"
  pids=""
  for src in "$ROOT"/sim/*.cpp; do
    obj="$OUT/obj/sim/$(basename "$src" .cpp).o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$0" -nt "$obj" ] ||
       [ -n "$(find "$ROOT/sim" -name '*.h' -newer "$obj")" ]; then
      $CXX $CXXFLAGS -O2 -c "$src" -o "$obj" &
      pids="$pids $!"
    fi
  done
  for pid in $pids; do wait "$pid"; done
}

build_target() {
  target=$1
  mkdir -p "$OUT/obj/$target"
  objects=""
  for src in $(sources_of "$target"); do
    obj="$OUT/obj/$target/$(basename "$src" .cpp).o"
    $CXX $CXXFLAGS $SANITIZE -fsanitize=fuzzer-no-link -c "$ROOT/$src" -o "$obj"
    objects="$objects $obj"
  done
  $CXX $CXXFLAGS $SANITIZE -fsanitize=fuzzer "$ROOT/tests/fuzz/${target}_fuzz.cpp" $objects "$OUT"/obj/sim/*.o \
    -o "$OUT/${target}_fuzz"
  echo "built $OUT/${target}_fuzz"
}

[ $# -ge 1 ] || usage
command -v "$CXX" >/dev/null || { echo "$CXX not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }

if [ "$1" = build ]; then
  build_sim
  build_target ini
  build_target rename_list
  exit 0
fi

target=$1
shift
sources_of "$target" >/dev/null
limit=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) limit="-runs=$2"; shift 2 ;;
    --seconds) limit="-max_total_time=$2"; shift 2 ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
[ -n "$limit" ] || usage

build_sim
build_target "$target"

case "$target" in
  ini) max_len=16384 ;;        # room for lines well beyond the first line buffer
  rename_list) max_len=8300 ;;  # just past the largest file a reader accepts
esac
mkdir -p "$OUT/corpus/$target" "$OUT/artifacts/$target"
cp -n "$ROOT/tests/fuzz/corpus/$target"/* "$OUT/corpus/$target/" 2>/dev/null || true
# Lighter allocator bookkeeping: the sim allocates for every byte a stream moves.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=8:max_malloc_fill_size=0:quarantine_size_mb=16}
exec "$OUT/${target}_fuzz" "$limit" -max_len=$max_len -print_final_stats=1 \
  -artifact_prefix="$OUT/artifacts/$target/" "$@" "$OUT/corpus/$target"
