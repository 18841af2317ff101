#!/usr/bin/env bash
# Makes 32-bit Wine (wine32:i386) usable on hosts whose kernel cannot execute i386
# ELF binaries (IA-32 emulation off: i386 execve fails with ENOEXEC / "Exec format
# error"). Every i386 ELF (wine, wineserver32 and all their children) is then run
# by qemu-user (Debian package qemu-user-static) through binfmt_misc.
#
# Safe to run repeatedly as root. Does nothing when i386 binaries already run
# without a binfmt_misc handler (native IA-32 emulation).
#   VORLAX_WINE_QEMU=1    run 32-bit Wine through qemu-user even where the kernel runs i386
#                         programs itself (binfmt_misc handlers are tried before the kernel's
#                         own ELF loader), so that the qemu-user path can be checked on such a
#                         machine too. Without it, a handler of ours left by an earlier forced
#                         run is removed again where the kernel runs i386 programs natively.
# Exit status: 0 when Wine can run an i686 PE program afterwards, nonzero otherwise.
#   WINE_ENABLE_QUICK=1   only check that the 32-bit Wine loader starts, skip the
#                         (about one minute) PE check in a throw-away prefix.
#
# Why a wrapper and QEMU_RESERVED_VA: qemu 7.2 (bookworm) ignores MAP_FIXED_NOREPLACE,
# which makes Wine's start-up address-space reservation take minutes per process
# and fill the space above 2 GB. Limiting the guest address space to 0x7fff0000
# makes each Wine process start in about a second.
#
# Known limits of qemu-user (any version) with 32-bit Wine: programs that run two or
# more threads at the same time crash (qemu shares one GDT, so one TLS slot, between
# all guest threads), and hardware faults reach Wine with trap number -1, so an
# access violation caught by SEH/VEH kills the process. Single-threaded console
# programs work. A cold wineserver start (wineboot --init) takes about 10-40 s;
# keep one server running (wineserver -p) to get about 2 s per small program.
set -u

WINE32=/usr/lib/wine/wine
QEMU=/usr/bin/qemu-i386-static
BINFMT_DIR=/proc/sys/fs/binfmt_misc
NAME=wine-qemu-i386
WRAPPER=/usr/local/libexec/wine-qemu-i386
# i386 ELF executables and shared objects (ET_EXEC/ET_DYN), as in qemu-binfmt-conf.sh
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
MAGIC_HEX=7f454c4601010100000000000000000002000300

log() { echo "wine-enable: $*" >&2; }

i386_runs() {
  [ -x "$WINE32" ] && timeout 120 "$WINE32" --version >/dev/null 2>&1
}

# Lists enabled binfmt_misc entries (other than ours) that claim i386 ELF files.
other_i386_handlers() {
  local f
  [ -e "$BINFMT_DIR/status" ] || return 0
  for f in "$BINFMT_DIR"/*; do
    case "${f##*/}" in register|status|"$NAME") continue ;; esac
    grep -qx enabled "$f" 2>/dev/null || continue
    grep -q "^magic $MAGIC_HEX" "$f" 2>/dev/null && echo "${f##*/}"
  done
}

wrapper_text() {
  cat <<'EOF'
#!/bin/sh
# binfmt_misc interpreter for i386 ELF files, installed by tools/wine-enable.sh.
# Registered with flag P: $1 = file to run, $2 = its original argv[0], then the arguments.
: "${QEMU_RESERVED_VA:=0x7fff0000}"
export QEMU_RESERVED_VA
file=$1
shift
if [ $# -ge 1 ]; then argv0=$1; shift; else argv0=$file; fi
exec /usr/bin/qemu-i386-static -0 "$argv0" "$file" "$@"
EOF
}

activate() {
  if [ "$(id -u)" != 0 ]; then
    log "must run as root to set up qemu-user/binfmt_misc"
    return 1
  fi
  if [ ! -x "$QEMU" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null 2>&1 || {
      apt-get update -qq || true
      apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null
    } || { log "cannot install qemu-user-static"; return 1; }
  fi
  if [ ! -e "$BINFMT_DIR/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" || { log "cannot mount binfmt_misc"; return 1; }
  fi
  if [ "$(cat "$BINFMT_DIR/status")" != enabled ]; then
    echo 1 > "$BINFMT_DIR/status" || return 1
  fi

  local changed=0
  if ! wrapper_text | cmp -s - "$WRAPPER" 2>/dev/null; then
    mkdir -p "${WRAPPER%/*}" &&
      wrapper_text > "$WRAPPER.tmp" && chmod 755 "$WRAPPER.tmp" && mv -f "$WRAPPER.tmp" "$WRAPPER" ||
      { log "cannot write $WRAPPER"; return 1; }
    changed=1
  fi

  local entry="$BINFMT_DIR/$NAME"
  if [ -e "$entry" ]; then
    # Re-register when the wrapper changed (flag F keeps the old file open) or the
    # entry differs from what we want.
    if [ "$changed" = 1 ] || ! grep -qx enabled "$entry" ||
       ! grep -qx "interpreter $WRAPPER" "$entry" || ! grep -q "^magic $MAGIC_HEX" "$entry" ||
       ! grep -qx 'flags: PF' "$entry"; then
      echo -1 > "$entry" || { log "cannot remove old binfmt entry $NAME"; return 1; }
    fi
  fi
  if [ ! -e "$entry" ]; then
    printf '%s' ":$NAME:M::$MAGIC:$MASK:$WRAPPER:PF" > "$BINFMT_DIR/register" ||
      { log "cannot register binfmt entry $NAME"; return 1; }
    log "registered binfmt_misc entry $NAME -> $WRAPPER"
  fi
  local others
  others=$(other_i386_handlers)
  [ -z "$others" ] || log "note: other i386 binfmt entries present ($others); $NAME was registered later and is tried first"
  return 0
}

pe_check() {
  local prefix out rc
  prefix=$(mktemp -d /tmp/wine-enable-check.XXXXXX) || return 1
  out=$(
    export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    timeout 300 wine cmd.exe /c echo wine-enable-ok 2>/dev/null
    rc=$?
    timeout 60 wineserver -k >/dev/null 2>&1
    exit $rc
  )
  rc=$?
  rm -rf "$prefix"
  case "$out" in
    *wine-enable-ok*) return 0 ;;
  esac
  log "PE check failed (rc=$rc, output: ${out:0:200})"
  return 1
}

if [ ! -x "$WINE32" ]; then
  log "$WINE32 is missing: install wine and wine32:i386 first (tools/setup.sh)"
  exit 2
fi

# Whether the kernel runs i386 programs itself: asked with our handler switched off for a moment.
native_i386() {
  local entry="$BINFMT_DIR/$NAME" result
  if [ -e "$entry" ]; then
    echo 0 > "$entry" 2>/dev/null || return 1
    i386_runs
    result=$?
    echo 1 > "$entry" 2>/dev/null
    return $result
  fi
  [ -z "$(other_i386_handlers)" ] && i386_runs
}

if [ "${VORLAX_WINE_QEMU:-0}" = 1 ]; then
  activate || exit 1
  log "VORLAX_WINE_QEMU=1: 32-bit Wine runs through qemu-user"
elif native_i386; then
  if [ -e "$BINFMT_DIR/$NAME" ]; then
    echo -1 > "$BINFMT_DIR/$NAME" || { log "cannot remove binfmt entry $NAME"; exit 1; }
    log "i386 binaries run natively; removed the qemu-user entry $NAME of an earlier forced run"
  else
    log "i386 binaries run natively; nothing to set up"
  fi
else
  activate || exit 1
fi

if ! i386_runs; then
  log "the 32-bit Wine loader still cannot be executed"
  exit 1
fi
if [ "${WINE_ENABLE_QUICK:-0}" = 1 ]; then
  exit 0
fi
pe_check || exit 1
log "Wine runs i686 programs"
exit 0
