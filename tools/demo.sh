#!/usr/bin/env bash
# The demo: an infected Windows XP workstation under Wine, cleaned by VorlaxClean.exe.
# Installs what is missing (tools/setup.sh), builds the Windows executable (build/win32) and the
# sample writer (build/host) when needed, then builds the machine in a new Wine prefix, runs the
# tool, restarts the machine (wineboot -r) and runs the tool again.
# The worm is harmless: tools/sleeper (a program that only sleeps) stamped by samplegen so that
# the signature check takes it for the worm; the copies are samplegen samples.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

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
TEMPLATE=$(/usr/bin/python3 tests/wine/run_scenario.py --template-only nt)

START=$(date +%s)
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/vorlax-demo.XXXXXX)
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() { wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT
cp -a "$TEMPLATE/." "$WINEPREFIX"
C=$WINEPREFIX/drive_c
RUN='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'

step "Building an infected workstation (Windows XP under Wine, prefix $WINEPREFIX)"
mkdir -p "$C/vctool" "$C/windows/system32" "$C/Documents and Settings/user/Desktop" "$C/Program Files/Shared Tools" "$C/games"
cp build/win32/VorlaxClean.exe "$C/vctool/"
cp build/win32/holdfile.exe "$C/windows/system32/"
"$SAMPLEGEN" sample --row 0 --base build/win32/sleeper.exe -o "$C/windows/system32/winupd.exe" >/dev/null
"$SAMPLEGEN" sample --row 1 --seed 2 -o "$C/Documents and Settings/user/Desktop/setup.exe" >/dev/null
"$SAMPLEGEN" sample --row 0 --seed 3 -o "$C/Program Files/Shared Tools/update.exe" >/dev/null
"$SAMPLEGEN" sample --row 1 --seed 4 -o "$C/games/bonus.exe" >/dev/null
"$SAMPLEGEN" near --row 0 --seed 5 -o "$C/games/game.exe" >/dev/null
chmod a-w "$C/Documents and Settings/user/Desktop/setup.exe"
wine reg add "$RUN" /v "Windows Update" /d 'C:\windows\system32\winupd.exe' /f >/dev/null 2>&1
wine reg add "$RUN" /v "Sound" /d 'C:\windows\sound.exe' /f >/dev/null 2>&1
# Another program holds one copy open (read sharing only) and starts the worm.
wine 'C:\windows\system32\holdfile.exe' --hold read 'C:\games\bonus.exe' --run 'C:\windows\system32\winupd.exe' \
  > "$WINEPREFIX/holder.out" 2>/dev/null &
for _ in $(seq 1 120); do grep -q ready "$WINEPREFIX/holder.out" 2>/dev/null && break; sleep 0.5; done
cat <<'TEXT'
  running worm     C:\windows\system32\winupd.exe         (the stamped sleeper)
  Run value        HKLM\...\CurrentVersion\Run "Windows Update" -> the worm; "Sound" is a clean value
  copies           C:\Documents and Settings\user\Desktop\setup.exe   (read-only)
                   C:\Program Files\Shared Tools\update.exe
                   C:\games\bonus.exe                     (held open by another program)
  near miss        C:\games\game.exe                      (one bit off: must stay)
TEXT

step "Running VorlaxClean.exe /SILENT"
set +e
wine 'C:\vctool\VorlaxClean.exe' /SILENT 2>/dev/null | tr -d '\r'
CODE=${PIPESTATUS[0]}
set -e
case $CODE in
  0) MEANING="no infection found" ;;
  1) MEANING="infection found and removed" ;;
  2) MEANING="infection removed; a restart completes it" ;;
  3) MEANING="infection found; an error occurred in the disinfection" ;;
  *) MEANING="unexpected" ;;
esac
echo "exit code: $CODE ($MEANING)"
echo "key lines of C:\\windows\\VorlaxClean.log:"
tr -d '\r' < "$C/windows/VorlaxClean.log" |
  grep -E '^(Process .* is infection|Process .* terminated|Deleting file|Key |Exiting)' | sed 's/^/  /'
echo "scheduled for the restart (PendingFileRenameOperations):"
wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null |
  tr -d '\r' | grep -i pending | sed 's/^ */  /'

step "Restarting the machine (wineboot -r)"
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wine wineboot -r >/dev/null 2>&1
[ -e "$C/games/bonus.exe" ] && echo "  C:\\games\\bonus.exe is still there" || echo "  C:\\games\\bonus.exe is gone"

step "Running VorlaxClean.exe /SILENT again"
set +e
wine 'C:\vctool\VorlaxClean.exe' /SILENT 2>/dev/null | tr -d '\r' | tail -n 1
CODE=${PIPESTATUS[0]}
set -e
echo "exit code: $CODE"
echo "what is left:"
for f in 'windows/system32/winupd.exe' 'Documents and Settings/user/Desktop/setup.exe' \
         'Program Files/Shared Tools/update.exe' 'games/bonus.exe' 'games/game.exe'; do
  [ -e "$C/$f" ] && echo "  present  C:\\${f//\//\\}" || echo "  gone     C:\\${f//\//\\}"
done
wine reg query "$RUN" 2>/dev/null | tr -d '\r' | grep REG_ | sed 's/^ */  Run value: /'
wineserver -k >/dev/null 2>&1 || true
echo
echo "demo done in $(( $(date +%s) - START )) s after set-up"
