#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need, from Debian only.
# Safe to run again: it does nothing when every tool is already present.
set -euo pipefail

need_apt=0
for t in cmake g++ clang-14 i686-w64-mingw32-g++ wine yara ninja qemu-i386-static; do
  command -v "$t" >/dev/null 2>&1 || need_apt=1
done
for f in /usr/include/gtest/gtest.h /usr/include/benchmark/benchmark.h \
         /usr/include/yaml-cpp/yaml.h /usr/include/zlib.h \
         /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a; do
  [ -e "$f" ] || need_apt=1
done
/usr/bin/python3 -c 'import yaml' 2>/dev/null || need_apt=1
dpkg -s wine32:i386 >/dev/null 2>&1 || need_apt=1

if [ "$need_apt" = 0 ]; then
  WINE_ENABLE_QUICK=1 exec bash "$(dirname "$0")/wine-enable.sh"
fi

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# When the security suite's i386 index cannot be fetched, amd64 and i386 would take
# different library versions and wine32 would not install; pinning that suite low lets
# both architectures take the main suite's versions.
pin=/etc/apt/preferences.d/vorlaxclean-security-pin
if [ ! -e "$pin" ]; then
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 90\n' > "$pin"
fi
apt-get update -qq || true
apt-get install -y -qq --no-install-recommends \
  cmake ninja-build g++ make clang-14 libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev libyaml-cpp-dev zlib1g-dev \
  python3 python3-yaml yara \
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 \
  wine wine32:i386 qemu-user-static >/dev/null

# Where the kernel runs no 32-bit programs, 32-bit Wine runs through qemu-user.
WINE_ENABLE_QUICK=1 exec bash "$(dirname "$0")/wine-enable.sh"
