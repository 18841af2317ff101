#!/bin/sh
# Builds the libFuzzer targets with clang-14 (-fsanitize=fuzzer,address,undefined) into
# build/fuzz and runs one of them.
#
#   tests/fuzz/run_fuzzers.sh build                  build every target
#   tests/fuzz/run_fuzzers.sh TARGET --runs N        build, then run TARGET for N executions
#   tests/fuzz/run_fuzzers.sh TARGET --seconds S     build, then run TARGET for S seconds
#   ... [-- LIBFUZZER-OPTIONS]                       passed on to the fuzzer (e.g. -jobs=2)
#
# Targets (tests/fuzz/TARGET_fuzz.cpp):
#   ini                the INI model: any bytes as WININIT.INI, saved and loaded again
#   rename_list        the reader of the driver's rename-list file
#   reg_path           registry paths opened, read and written against the simulated registry
#   extension_pattern  the drive scan's extension matcher against an independent matcher
#   find_text          the process scan's case-insensitive search against a brute-force search
# A dictionary tests/fuzz/TARGET.dict, when there is one, is passed to the fuzzer.
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
  sed -n '2,/^set -eu/p' "$0" | grep '^#' | sed 's/^# \{0,1\}//'
  exit 2
}

sources_of() {
  case "$1" in
    ini) echo "fileops/ini_file.cpp" ;;
    rename_list) echo "fileops/rename_list_file.cpp detect/crc32.cpp" ;;
    reg_path) echo "fileops/reg_path.cpp" ;;
    # Matchers that live beside the scans: the whole product but its entry routine, as an
    # archive, so that the linker takes only the objects they reach.
    extension_pattern | find_text) echo "@product" ;;
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

# Every product source but app/main.cpp, instrumented, in $OUT/obj/product/libproduct.a.
product_built=""
build_product_archive() {
  [ -n "$product_built" ] && return 0
  product_built=1
  mkdir -p "$OUT/obj/product"
  rm -f "$OUT/obj/product/libproduct.a" "$OUT"/obj/product/*.o
  for src in "$ROOT"/app/*.cpp "$ROOT"/detect/*.cpp "$ROOT"/fileops/*.cpp "$ROOT"/protection/*.cpp \
             "$ROOT"/trace/*.cpp; do
    [ "$src" = "$ROOT/app/main.cpp" ] && continue
    obj="$OUT/obj/product/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o"
    $CXX $CXXFLAGS $SANITIZE -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
  done
  ar rcs "$OUT/obj/product/libproduct.a" "$OUT"/obj/product/*.o
}

build_target() {
  target=$1
  mkdir -p "$OUT/obj/$target"
  objects=""
  for src in $(sources_of "$target"); do
    if [ "$src" = @product ]; then
      build_product_archive
      objects="$objects $OUT/obj/product/libproduct.a"
      continue
    fi
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
  for t in ini rename_list reg_path extension_pattern find_text; do build_target "$t"; done
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
  reg_path) max_len=600 ;;      # paths well past MAX_PATH, key names past 255 characters
  extension_pattern) max_len=64 ;;
  find_text) max_len=600 ;;     # image paths past MAX_PATH
esac
dict=""
[ -f "$ROOT/tests/fuzz/$target.dict" ] && dict="-dict=$ROOT/tests/fuzz/$target.dict"
mkdir -p "$OUT/corpus/$target" "$OUT/artifacts/$target"
cp -n "$ROOT/tests/fuzz/corpus/$target"/* "$OUT/corpus/$target/" 2>/dev/null || true
# Lighter allocator bookkeeping: the sim allocates for every byte a stream moves.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=8:max_malloc_fill_size=0:quarantine_size_mb=16}
exec "$OUT/${target}_fuzz" "$limit" -max_len=$max_len -print_final_stats=1 $dict \
  -artifact_prefix="$OUT/artifacts/$target/" "$@" "$OUT/corpus/$target"
