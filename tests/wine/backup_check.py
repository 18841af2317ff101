#!/usr/bin/python3
"""Backups and their restoring with the real VorlaxClean.exe on Wine, in NT or 98 mode.

  backup_check.py MODE --win32-dir DIR [--samplegen PATH] [--yara PATH] [--cache DIR]

One machine: a sample C:\\samples\\loose.exe, a sample C:\\Program Files\\App\\held.exe that
another program (tests/wine/holdfile.exe) holds open with read sharing, a near miss and a plain
file beside them.

1. VorlaxClean.exe /SILENT: exit 2; loose.exe is gone, held.exe waits for the restart and already
   has its backup; C:\\windows\\VorlaxClean.qtn holds 00000001.vqb (held.exe, met first by the
   walk) and 00000002.vqb and
   manifest.ini (its text byte for byte, times aside); each backup's bytes are not the file's and
   do not hold them, undo to them with the format's transform, and YARA with the signatures'
   CRC (tests/yara/vorlax.yar) finds nothing in the folder; the clean files are untouched.
2. The restart (wineboot -r): held.exe is gone.
3. A second run finds nothing (exit 0, "No infection found").
4. /RESTORE lists both entries (exit 0); /RESTORE:1 brings back held.exe, whose original the
   restart deleted, byte for byte (exit 0); /RESTORE:1 again refuses to write over it (exit 5, the
   file unchanged); /RESTORE:2 brings back loose.exe; the manifest marks both restored.
5. A new machine with one sample, VorlaxClean.exe /SILENT /NOBACKUP run on a terminal: exit 1,
   the sample gone, no backup folder; the console's titles, which Wine's console on a terminal
   shows as the terminal's title sequences (ESC ] 0 ; TITLE BEL), name each phase in order, the
   drive scan's first count, and at the end the title the console had (Wine's is empty).
The manifest is compared byte for byte by the host runner's text rule (--checker). The machines
are built again only when a probe of Wine itself shows that Wine failed (no drive C: for a new
process, or a hang after which the server no longer starts a program), each time with a RETRY
line (kept in --notes). Exit status 0 all holds, 1 a mismatch, 2 the machine cannot be built.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_scenario as rs  # noqa: E402

LOOSE = 'C:\\samples\\loose.exe'
HELD = 'C:\\Program Files\\App\\held.exe'
NEAR = 'C:\\samples\\near.exe'
PLAIN = 'C:\\samples\\readme.txt'
FOLDER = 'C:\\windows\\VorlaxClean.qtn'
MANIFEST = FOLDER + '\\manifest.ini'

problems = []
CHECKER = None  # the host runner, whose text rule (<TIME> for one local time) judges


def check(cond, text):
    if not cond:
        problems.append(text)
    return cond


read = rs.read_host


def undo(stored):
    """The original bytes of a backup file, or None when it is not a whole backup: "VCBACKUP",
    the size (4 bytes, least significant first), the bytes through the key stream, their CRC-32."""
    import zlib
    if stored is None or len(stored) < 16 or stored[:8] != b'VCBACKUP':
        return None
    size = int.from_bytes(stored[8:12], 'little')
    if len(stored) != size + 16:
        return None
    state = 0x5EED1234
    out = bytearray(stored[12:12 + size])
    for i in range(size):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i] ^= state >> 24
    if zlib.crc32(bytes(out)) != int.from_bytes(stored[12 + size:], 'little'):
        return None
    return bytes(out)


def manifest_text(entries):
    """The manifest expected, <TIME> for each time; entries: (number, path, size, crc, original,
    restored)."""
    lines = ['; VorlaxClean backups: VorlaxClean.exe /RESTORE lists them, /RESTORE:N puts entry N back']
    for number, path, size, crc, original, restored in entries:
        lines += ['', '[Backup %d]' % number, 'Path=' + path, 'Size=%d' % size, 'CRC32=%08X' % crc,
                  'Time=<TIME>', 'Original=' + original, 'File=%08d.vqb' % number]
        if restored:
            lines.append('Restored=<TIME>')
    lines += ['', '; end of manifest']
    return ('\r\n'.join(lines) + '\r\n').encode('latin-1')


def matches(expected, actual):
    return rs.text_matches(CHECKER, expected, actual)


class Machine:
    def __init__(self, platform, opts):
        template = rs.make_template(platform, opts.cache, opts.win32_dir)
        self.prefix = os.path.join(tempfile.mkdtemp(prefix='vorlax-backup-'), 'prefix')
        shutil.copytree(template, self.prefix, symlinks=True)
        self.wine = rs.Wine(self.prefix)
        shutil.copyfile(os.path.join(opts.win32_dir, 'VorlaxClean.exe'), self.unix(rs.TOOL_PATH))
        shutil.copyfile(os.path.join(opts.win32_dir, 'holdfile.exe'), self.unix(rs.HELPER_PATH))
        self.samplegen = opts.samplegen
        self.opts = opts
        self.helper = None

    def unix(self, path):
        return self.wine.unix_path(path, create_dirs=True)

    def put(self, path, kind, seed):
        subprocess.run([self.samplegen, kind] + (['--row', '0'] if kind != 'plain' else []) +
                       ['--size', '8192', '--seed', str(seed), '-o', self.unix(path)],
                       check=True, stdout=subprocess.DEVNULL)
        return read(self.unix(path))

    def hold(self, path):
        self.wine.wait_for_drives(self.opts, 'holding ' + path)
        self.helper = self.wine.popen([rs.HELPER_PATH, '--hold', 'read', path], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.helper.stdout.readline().decode('latin-1').strip()
        if line != 'ready':
            raise rs.BadScenario('the helper could not hold %s: %s' % (path, line))

    def tool_on_terminal(self, *args):
        """One run of the tool on a terminal: (exit code, the titles it set, in order)."""
        import pty
        import select
        where = 'VorlaxClean.exe %s on a terminal' % ' '.join(args)
        self.wine.wait_for_drives(self.opts, where, restart=self.helper is None)
        master, slave = pty.openpty()
        trace = tempfile.TemporaryFile()
        p = self.wine.popen([rs.TOOL_PATH] + list(args), env=self.wine.relay_env(), stdin=slave, stdout=slave,
                            stderr=trace)
        os.close(slave)
        out = b''
        while True:
            ready, _, _ = select.select([master], [], [], 300)
            if not ready:
                break
            try:
                data = os.read(master, 65536)
            except OSError:  # the terminal's other side is closed: the program ended
                break
            if not data:
                break
            out += data
        os.close(master)
        try:
            code = p.wait(timeout=300)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            code = None
        trace.seek(0)
        calls, unreturned = rs.relay_trace(trace.read().decode('latin-1', errors='replace'))
        trace.close()
        if code is None:
            rs.judge_hang(self.wine, unreturned, where, 300)
            check(False, '%s did not end within 300 s (the Wine server still answers)' % where)
            return None, []
        rs.check_drive_answer(calls, where)
        return code, [t.decode('latin-1') for t in re.findall(rb'\x1b\]0;([^\x07]*)\x07', out)]

    def tool(self, *args):
        """One run of the tool: (exit code, console text)."""
        where = 'VorlaxClean.exe ' + ' '.join(args)
        self.wine.wait_for_drives(self.opts, where, restart=self.helper is None)
        with tempfile.TemporaryFile() as out:
            r, _ = self.wine.run_tool([rs.TOOL_PATH] + list(args), where, stdin=subprocess.DEVNULL, stdout=out)
            if r is None:
                check(False, '%s did not end within 300 s (the Wine server still answers)' % where)
                return None, ''
            out.seek(0)
            return r.returncode, out.read().decode('latin-1').replace('\r\n', '\n')

    def restart(self):
        self.wine.stop()
        if self.helper:
            self.helper.wait(timeout=60)
            self.helper = None
        if not self.wine.restart(self.opts):
            check(False, 'the restart (wineboot -r) did not end within 300 s (the Wine server still answers)')

    def close(self):
        self.wine.server('-k')
        if self.helper:
            self.helper.kill()
        shutil.rmtree(os.path.dirname(self.prefix), ignore_errors=True)


def yara_matches(yara, folder):
    rule = os.path.join(rs.ROOT, 'tests', 'yara', 'vorlax.yar')
    r = subprocess.run([yara, '-r', rule, folder], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if r.returncode != 0:
        raise rs.BadScenario('yara failed: ' + r.stderr.decode('latin-1'))
    return r.stdout.decode('latin-1').strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('mode', choices=('nt', '98'))
    ap.add_argument('--win32-dir', required=True)
    ap.add_argument('--samplegen', default=os.path.join(rs.ROOT, 'build', 'host', 'samplegen'))
    ap.add_argument('--yara', default='/usr/bin/yara')
    ap.add_argument('--cache', default=os.path.join(rs.ROOT, 'build', 'host', 'wine-prefixes'))
    ap.add_argument('--checker', default=os.path.join(rs.ROOT, 'build', 'host', 'tests', 'runner', 'scenario_runner'))
    ap.add_argument('--notes', help='folder where the RETRY lines are kept for the suite\'s summary')
    opts = ap.parse_args()
    global CHECKER
    CHECKER = opts.checker
    opts.name = 'backup-' + opts.mode
    rs.forget_notes(opts)
    rs.with_wine_retries(opts, lambda: attempt(opts))
    if problems:
        print('FAIL backup %s' % opts.mode, file=sys.stderr)
        for p in problems:
            print('  ' + p, file=sys.stderr)
        return 1
    print('PASS backup %s' % opts.mode)
    return 0


def attempt(opts):
    """One try on new machines; mismatches go to problems. Raises WineFault where a probe of
    Wine shows that Wine itself failed."""
    import zlib
    del problems[:]
    m = Machine(opts.mode, opts)
    try:
        loose = m.put(LOOSE, 'sample', 7)
        held = m.put(HELD, 'sample', 8)
        near = m.put(NEAR, 'near', 9)
        plain = m.put(PLAIN, 'plain', 10)
        yara_samples = yara_matches(opts.yara, m.unix('C:\\samples'))
        if 'loose.exe' not in yara_samples or 'near.exe' in yara_samples:
            raise rs.BadScenario('the samples are not what they claim: yara says %r' % yara_samples)
        m.hold(HELD)

        # 1. The run: both backups before the removals.
        code, out = m.tool('/SILENT')
        check(code == 2, 'first run: exit %s, expected 2\n%s' % (code, out))
        check(read(m.unix(LOOSE)) is None, 'first run: %s is still there' % LOOSE)
        check(read(m.unix(HELD)) == held, 'first run: %s should wait for the restart' % HELD)
        check(read(m.unix(NEAR)) == near and read(m.unix(PLAIN)) == plain, 'first run: a clean file changed')
        folder = m.unix(FOLDER)
        names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        check(names == ['00000001.vqb', '00000002.vqb', 'manifest.ini'],
              'the backup folder holds %r, expected the two backups and the manifest' % names)
        # The drive scan walks C:\Program Files before C:\samples.
        for number, original in ((1, held), (2, loose)):
            stored = read(os.path.join(folder, '%08d.vqb' % number))
            if not check(stored is not None, 'backup %d is missing' % number):
                continue
            check(original not in stored and original[1024:8192] not in stored,
                  'backup %d holds the file\'s bytes as they are' % number)
            check(undo(stored) == original, 'backup %d does not undo to the file\'s bytes' % number)
        found = yara_matches(opts.yara, folder)
        check(found == '', 'YARA with the signatures finds in the backup folder: %r' % found)
        expected = manifest_text([(1, HELD, len(held), zlib.crc32(held), 'restart', False),
                                  (2, LOOSE, len(loose), zlib.crc32(loose), 'deleted', False)])
        manifest = read(m.unix(MANIFEST))
        check(matches(expected, manifest), 'manifest after the run:\n  expected %r\n  got      %r' % (expected, manifest))

        # 2. The restart carries out the deletion; 3. a second run finds nothing.
        m.restart()
        check(read(m.unix(HELD)) is None, 'after the restart: %s is still there' % HELD)
        code, out = m.tool('/SILENT')
        check(code == 0 and 'No infection found\n' in out, 'second run: exit %s, expected 0\n%s' % (code, out))
        check(sorted(os.listdir(folder)) == names, 'second run: the backup folder changed')

        # 4. Listing and restoring.
        code, out = m.tool('/RESTORE')
        check(code == 0 and LOOSE in out and HELD in out and 'deleted' in out and 'restart' in out,
              '/RESTORE: exit %s, expected 0 and both entries\n%s' % (code, out))
        code, out = m.tool('/RESTORE:1')
        check(code == 0 and out == 'Restored entry 1 to %s (8192 bytes)\n' % HELD,
              '/RESTORE:1 (deleted at the restart): exit %s\n%s' % (code, out))
        check(read(m.unix(HELD)) == held, '/RESTORE:1 did not bring %s back byte for byte' % HELD)
        code, out = m.tool('/RESTORE:1')
        check(code == 5 and out == 'Restore: %s is there; entry 1 is not written over it\n' % HELD,
              'a second /RESTORE:1: exit %s, expected 5\n%s' % (code, out))
        check(read(m.unix(HELD)) == held, 'a second /RESTORE:1 changed %s' % HELD)
        code, out = m.tool('/RESTORE:2')
        check(code == 0 and read(m.unix(LOOSE)) == loose, '/RESTORE:2: exit %s\n%s' % (code, out))
        expected = manifest_text([(1, HELD, len(held), zlib.crc32(held), 'restart', True),
                                  (2, LOOSE, len(loose), zlib.crc32(loose), 'deleted', True)])
        manifest = read(m.unix(MANIFEST))
        check(matches(expected, manifest), 'manifest after restoring:\n  expected %r\n  got      %r' % (expected, manifest))
    finally:
        m.close()

    # 5. /NOBACKUP on a machine of its own.
    m = Machine(opts.mode, opts)
    try:
        m.put(LOOSE, 'sample', 7)
        code, titles = m.tool_on_terminal('/SILENT', '/NOBACKUP')
        check(code == 1, '/NOBACKUP run: exit %s, expected 1' % code)
        wanted = ['VorlaxClean: ending infected processes', 'VorlaxClean: deleting the files found in memory',
                  'VorlaxClean: removing the autostart value', 'VorlaxClean: scanning the fixed drives',
                  'VorlaxClean: scanning C:\\ (1 files examined)', 'VorlaxClean: done']
        at = 0
        for title in titles:
            if at < len(wanted) and title == wanted[at]:
                at += 1
        check(at == len(wanted) and titles[-1:] == [''],
              'the console titles: expected %r in order and the empty title last, got %r' % (wanted, titles))
        check(read(m.unix(LOOSE)) is None, '/NOBACKUP run: %s is still there' % LOOSE)
        check(not os.path.exists(m.unix(FOLDER)), '/NOBACKUP run: the backup folder was made')
    finally:
        m.close()


if __name__ == '__main__':
    try:
        sys.exit(main())
    except rs.BadScenario as e:
        print('cannot build the machine: %s' % e, file=sys.stderr)
        sys.exit(2)
