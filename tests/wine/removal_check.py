#!/usr/bin/python3
"""Removal of a file in use on the real Win32 (Wine): the product's ReplaceFile in delete mode
through tests/wine/remove_probe.exe, a file held open with read sharing only by
tests/wine/holdfile.exe, then the restart (`wineboot -r`).

  removal_check.py MODE --win32-dir DIR [--cache DIR] [--notes DIR]

MODE  nt           result 2, PendingFileRenameOperations names the file; after the restart the
                   file is gone and the clean file beside it stays.
      98           result 2, C:\\windows\\WININIT.INI is exactly "[rename]\\r\\nnul=SHORT" (SHORT the
                   file's short path as the system gives it); after the restart the file is gone,
                   WININIT.INI became WININIT.BAK and the clean file stays.
      98-existing  as 98, with a WININIT.INI holding other lines before: they are kept and the
                   entry is appended to its [rename] section.
--cache DIR  where the template prefixes live; default build/host/wine-prefixes (the host build's).
--notes DIR  where its RETRY lines are kept for the suite's summary. A try is made again, on a new
             machine, only when a probe of Wine itself shows that Wine failed (no drive C: for a
             new process, or a hang after which the server no longer starts a program).
Exit status 0 all holds, 1 a mismatch, 2 the machine cannot be built.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_scenario as rs  # noqa: E402

HELD = 'C:\\Long Folder Name\\held program.exe'
CLEAN = 'C:\\Long Folder Name\\clean.txt'
PROBE = 'C:\\vctool\\remove_probe.exe'
PROBE_LOG = 'C:\\windows\\remove_probe.log'
EXISTING_INI = b'[boot]\r\nkeep=this line\r\n\r\n[rename]\r\nC:\\OLD.TXT=C:\\NEW.TXT\r\n'

problems = []


def check(cond, text):
    if not cond:
        problems.append(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('mode', choices=('nt', '98', '98-existing'))
    ap.add_argument('--win32-dir', required=True)
    ap.add_argument('--cache', default=os.path.join(rs.ROOT, 'build', 'host', 'wine-prefixes'))
    ap.add_argument('--notes', help='folder where the RETRY lines are kept for the suite\'s summary')
    opts = ap.parse_args()
    opts.name = 'removal-' + opts.mode
    rs.forget_notes(opts)
    try:
        code = rs.with_wine_retries(opts, lambda: attempt(opts))
    except rs.BadScenario as e:
        print('cannot build the machine: %s' % e, file=sys.stderr)
        return 2
    if code:
        return code
    if problems:
        print('FAIL removal %s' % opts.mode, file=sys.stderr)
        for p in problems:
            print('  ' + p, file=sys.stderr)
        return 1
    print('PASS removal %s' % opts.mode)
    return 0


def attempt(opts):
    """One try on a new machine: 0, or 2 when it cannot be built; mismatches go to problems.
    Raises WineFault where a probe of Wine shows that Wine itself failed."""
    del problems[:]
    platform = 'nt' if opts.mode == 'nt' else '98'
    template = rs.make_template(platform, opts.cache, opts.win32_dir)
    prefix = os.path.join(tempfile.mkdtemp(prefix='vorlax-removal-'), 'prefix')
    shutil.copytree(template, prefix, symlinks=True)
    w = rs.Wine(prefix)
    helper = None
    try:
        subprocess.run(['wineserver', '-p'], env=w.env, timeout=60, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        held, clean = w.unix_path(HELD, create_dirs=True), w.unix_path(CLEAN, create_dirs=True)
        with open(held, 'wb') as f:
            f.write(b'MZ held by another program\r\n')
        with open(clean, 'wb') as f:
            f.write(b'keep me\r\n')
        os.makedirs(os.path.dirname(w.unix_path(PROBE, create_dirs=True)), exist_ok=True)
        shutil.copyfile(os.path.join(opts.win32_dir, 'remove_probe.exe'), w.unix_path(PROBE))
        shutil.copyfile(os.path.join(opts.win32_dir, 'holdfile.exe'), w.unix_path(rs.HELPER_PATH))
        ini = w.unix_path(rs.WININIT_PATH)

        w.wait_for_drives(opts, 'the removal')
        helper = w.popen([rs.HELPER_PATH, '--hold', 'read', HELD], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = helper.stdout.readline().decode('latin-1').strip()
        if line != 'ready':
            print('the helper could not hold the file: ' + line, file=sys.stderr)
            return 2
        # Only now: the first program of a session (wineboot) carries out an existing WININIT.INI.
        if opts.mode == '98-existing':
            with open(ini, 'wb') as f:
                f.write(EXISTING_INI)
        check(not os.path.exists(ini) or opts.mode == '98-existing', 'a WININIT.INI exists before the run')
        r = w.run_or_hang([PROBE, PROBE_LOG, HELD], 'the removal', stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if r is None:
            check(False, 'the probe did not end within 300 s (the Wine server still answers)')
            return 0
        out = r.stdout.decode('latin-1').replace('\r\n', '\n')
        print(out, end='')
        results = [l[len(HELD) + 1:] for l in out.split('\n') if l.startswith(HELD + ' ')]
        short = next((x[len('short='):] for x in results if x.startswith('short=')), '?')
        check('result=2' in results, 'the held file: result=2 expected, the probe said %r' % out)
        check(os.path.exists(held), 'the held file is gone before the restart')
        w.stop()  # ends the helper; the registry is saved
        helper.wait(timeout=60)
        helper = None

        if platform == 'nt':
            keys = rs.read_registry(os.path.join(prefix, 'system.reg'))
            sm = keys.get(rs.SESSION_MANAGER[len('HKEY_LOCAL_MACHINE\\'):].upper(), {})
            pending = rs.multi_sz(sm.get('PENDINGFILERENAMEOPERATIONS', ''))
            names = [p.upper() for p in pending]
            check(('\\??\\' + HELD).upper() in names,
                  'PendingFileRenameOperations does not name the held file: %r' % pending)
            check(not os.path.exists(ini), 'NT mode wrote a WININIT.INI')
        else:
            check(short != '?' and '~' in short, 'no short path with ~ from the probe: %r' % short)
            expected = (EXISTING_INI if opts.mode == '98-existing' else b'[rename]\r\n') + \
                b'nul=' + short.encode('latin-1')
            try:
                with open(ini, 'rb') as f:
                    actual = f.read()
            except FileNotFoundError:
                actual = None
            check(actual == expected, 'WININIT.INI: expected %r, got %r' % (expected, actual))

        if not w.restart(opts):
            check(False, 'the restart (wineboot -r) did not end within 300 s (the Wine server still answers)')
            return 0
        check(not os.path.exists(held), 'the held file is still there after the restart')
        check(os.path.exists(clean), 'the clean file beside it is gone after the restart')
        if platform == '98':
            bak = w.unix_path('C:\\windows\\WININIT.BAK')
            check(not os.path.exists(ini), 'WININIT.INI is still there after the restart')
            check(os.path.exists(bak), 'no WININIT.BAK after the restart')
        else:
            keys = rs.read_registry(os.path.join(prefix, 'system.reg'))
            sm = keys.get(rs.SESSION_MANAGER[len('HKEY_LOCAL_MACHINE\\'):].upper(), {})
            check(not rs.multi_sz(sm.get('PENDINGFILERENAMEOPERATIONS', '')) or
                  all(not p for p in rs.multi_sz(sm.get('PENDINGFILERENAMEOPERATIONS', ''))),
                  'PendingFileRenameOperations still set after the restart')
    finally:
        w.server('-k')
        if helper:
            helper.kill()
        shutil.rmtree(os.path.dirname(prefix), ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
