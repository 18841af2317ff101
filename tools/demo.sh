#!/usr/bin/env bash
# The demo: an infected Windows XP workstation under Wine, cleaned by VorlaxClean.exe.
# Installs what is missing (tools/setup.sh), builds the Windows executable (build/win32) and the
# sample writer (build/host) when needed, then builds the machine in a new Wine prefix, runs the
# tool, restarts the machine (wineboot -r) and runs the tool again; each run writes a report
# (/REPORT), and the end shows the first report and the summary of both (/SUMMARY).
# The worm is harmless: tools/sleeper (a program that only sleeps) stamped by samplegen so that
# the signature check takes it for the worm; the copies are samplegen samples.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# Wine lists the drives a while after its server starts; under qemu-user a server sometimes
# never does (restart it) and a process now and then starts with none.
wait_for_drives() {
  for _ in 1 2 3 4; do
    wine 'C:\windows\system32\holdfile.exe' --drives 15 >/dev/null 2>&1 && return 0
    wineserver -k >/dev/null 2>&1 || true
  done
  echo "Wine lists no drive C: here; see README, Wine on this kind of machine" >&2
  exit 1
}
# Wine itself, not the tool, tells whether it failed: its relay trace of the tool's calls (set
# up in the template prefix) shows a drive query that Wine answered with nothing. Under
# qemu-user a Wine process now and then starts with an empty drive list.
wine_gave_no_drive() {
  grep -aq 'Ret  KERNEL\(32\|BASE\)\.GetLogicalDriveStringsA() retval=00000000' "$ROOT/build/demo-relay.txt"
}
WINE_FAULT="Wine answered the tool's drive query with no drive (Wine fails so now and then under qemu-user; see the README)"
# Runs VorlaxClean.exe /SILENT /REPORT:$3 (console in build/demo-console.txt, exit code in
# CODE); after a Wine fault runs $1 (which puts the machine back) and tries again, at most three
# times, saying so each time.
run_tool() {
  local attempt
  for attempt in 1 2 3; do
    set +e
    WINEDEBUG=-all,+relay wine 'C:\vctool\VorlaxClean.exe' /SILENT "/REPORT:$3" 2>"$ROOT/build/demo-relay.txt" |
      tr -d '\r' > "$ROOT/build/demo-console.txt"
    CODE=${PIPESTATUS[0]}
    set -e
    wine_gave_no_drive || return 0
    [ "$attempt" = 3 ] && { echo "$WINE_FAULT, three times: giving up" >&2; exit 1; }
    echo "RETRY ($WINE_FAULT: $2)"
    "$1"
  done
}

step "Set-up (tools/setup.sh)"
bash tools/setup.sh
if [ ! -x build/win32/VorlaxClean.exe ] || [ ! -e build/win32/holdfile.exe ] || [ ! -e build/win32/sleeper.exe ]; then
  cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C build/win32 VorlaxClean sleeper holdfile >/dev/null
if [ ! -e build/host/build.ninja ]; then
  cmake -S . -B build/host -G Ninja -DVORLAX_WIN32_DIR="$ROOT/build/win32" >/dev/null
fi
ninja -C build/host samplegen >/dev/null
SAMPLEGEN=$ROOT/build/host/samplegen
TEMPLATE=$(/usr/bin/python3 tests/wine/run_scenario.py --template-only nt --cache "$ROOT/build/host/wine-prefixes")

START=$(date +%s)
export WINEPREFIX=
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() { if [ -n "$WINEPREFIX" ]; then wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"; fi; }
trap cleanup EXIT
RUN='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'

# A workstation runs its shell all session long; Wine's ends a second after the last program on
# the desktop. A program that stays on the desktop keeps it, and the shell is up before the user's
# programs start, as at a logon.
keep_shell() {
  wine 'C:\windows\system32\holdfile.exe' --desktop > "$WINEPREFIX/keeper.out" 2>/dev/null &
  for _ in $(seq 1 120); do grep -q ready "$WINEPREFIX/keeper.out" 2>/dev/null && break; sleep 0.5; done
}

build_machine() {
  cleanup
  WINEPREFIX=$(mktemp -d /tmp/vorlax-demo.XXXXXX)
  cp -a "$TEMPLATE/." "$WINEPREFIX"
  C=$WINEPREFIX/drive_c
  mkdir -p "$C/vctool" "$C/reports" "$C/windows/system32" "$C/Documents and Settings/user/Desktop" "$C/Program Files/Shared Tools" "$C/games"
  cp build/win32/VorlaxClean.exe "$C/vctool/"
  cp build/win32/holdfile.exe "$C/windows/system32/"
  "$SAMPLEGEN" sample --row 0 --base build/win32/sleeper.exe -o "$C/windows/system32/winupd.exe" >/dev/null
  "$SAMPLEGEN" sample --row 1 --seed 2 -o "$C/Documents and Settings/user/Desktop/setup.exe" >/dev/null
  "$SAMPLEGEN" sample --row 0 --seed 3 -o "$C/Program Files/Shared Tools/update.exe" >/dev/null
  "$SAMPLEGEN" sample --row 1 --seed 4 -o "$C/games/bonus.exe" >/dev/null
  "$SAMPLEGEN" near --row 0 --seed 5 -o "$C/games/game.exe" >/dev/null
  chmod a-w "$C/Documents and Settings/user/Desktop/setup.exe"
  # The Run values go straight into the prefix's registry file, before Wine's server starts.
  cat >> "$WINEPREFIX/system.reg" <<'REG'

[Software\\Microsoft\\Windows\\CurrentVersion\\Run] 0
"Sound"="C:\\windows\\sound.exe"
"Windows Update"="C:\\windows\\system32\\winupd.exe"
REG
  wait_for_drives
  keep_shell
  # Another program holds one copy open (read sharing only) and starts the worm.
  wine 'C:\windows\system32\holdfile.exe' --hold read 'C:\games\bonus.exe' --run 'C:\windows\system32\winupd.exe' \
    > "$WINEPREFIX/holder.out" 2>/dev/null &
  for _ in $(seq 1 120); do grep -q ready "$WINEPREFIX/holder.out" 2>/dev/null && break; sleep 0.5; done
}

step "Building an infected workstation (Windows XP under Wine)"
build_machine
echo "prefix $WINEPREFIX:"
cat <<'TEXT'
  running worm     C:\windows\system32\winupd.exe         (the stamped sleeper)
  Run value        HKLM\...\CurrentVersion\Run "Windows Update" -> the worm; "Sound" is a clean value
  copies           C:\Documents and Settings\user\Desktop\setup.exe   (read-only)
                   C:\Program Files\Shared Tools\update.exe
                   C:\games\bonus.exe                     (held open by another program)
  near miss        C:\games\game.exe                      (one bit off: must stay)
TEXT

step "Running VorlaxClean.exe /SILENT /REPORT:C:\\reports\\first.ini"
run_tool build_machine "building the machine again" 'C:\reports\first.ini'
cat "$ROOT/build/demo-console.txt"
case $CODE in
  0) MEANING="no infection found" ;;
  1) MEANING="infection found and removed" ;;
  2) MEANING="infection removed; a restart completes it" ;;
  3) MEANING="infection found; an error occurred in the disinfection" ;;
  *) MEANING="unexpected" ;;
esac
echo "exit code: $CODE ($MEANING)"
if ! tr -d '\r' < "$C/windows/VorlaxClean.log" | grep -q ' is infection$'; then
  echo "(Wine through qemu-user cannot read another process's modules, so the process scan finds"
  echo " nothing here; the running worm's image is in use, and is deleted at the restart.)"
fi
echo "key lines of C:\\windows\\VorlaxClean.log:"
tr -d '\r' < "$C/windows/VorlaxClean.log" |
  grep -E '^(Process .* is infection|Process .* terminated|Deleting file|Key |Exiting)' | sed 's/^/  /'
echo "scheduled for the restart (PendingFileRenameOperations):"
wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null |
  tr -d '\r' | grep -i pending | sed 's/^ */  /' || true

step "Restarting the machine (wineboot -r)"
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wine wineboot -r >/dev/null 2>&1
[ -e "$C/games/bonus.exe" ] && echo "  C:\\games\\bonus.exe is still there" || echo "  C:\\games\\bonus.exe is gone"

step "Running VorlaxClean.exe /SILENT /REPORT:C:\\reports\\second.ini again"
wait_for_drives
keep_shell
run_tool wait_for_drives "running the tool again" 'C:\reports\second.ini'
tail -n 1 "$ROOT/build/demo-console.txt"
echo "exit code: $CODE"
echo "what is left:"
for f in 'windows/system32/winupd.exe' 'Documents and Settings/user/Desktop/setup.exe' \
         'Program Files/Shared Tools/update.exe' 'games/bonus.exe' 'games/game.exe'; do
  [ -e "$C/$f" ] && echo "  present  C:\\${f//\//\\}" || echo "  gone     C:\\${f//\//\\}"
done
wine reg query "$RUN" 2>/dev/null | tr -d '\r' | grep REG_ | sed 's/^ */  Run value: /' || true

step "The report of the first run (C:\\reports\\first.ini)"
tr -d '\r' < "$C/reports/first.ini"

step "The summary of both runs (VorlaxClean.exe /SUMMARY:C:\\reports)"
wine 'C:\vctool\VorlaxClean.exe' '/SUMMARY:C:\reports' 2>/dev/null | tr -d '\r'
wineserver -k >/dev/null 2>&1 || true
echo
echo "demo done in $(( $(date +%s) - START )) s after set-up"
