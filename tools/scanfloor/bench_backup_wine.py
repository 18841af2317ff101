#!/usr/bin/python3
"""What the backups and the console title cost, against the drive scan, under Wine, in one run.

  RUNS=5 python3 tools/scanfloor/bench_backup_wine.py [--samples N] [--win32-dir build/win32]

The tree of tools/scanfloor/bench_wine.sh: C:\\bench, 20 x 10 folders x 100 files = 20,000 files,
2,000 candidates, 20 of them samples (with --samples N, N of them: a multiple of 20 up to 2,000).
Each round, in one wineserver session, rotating the order, times these runs of
VorlaxClean.exe /SILENT:

  on        backups on: the N samples backed up before their deletion (each backup written,
            flushed and renamed first), the manifest written as the run goes and at its end;
  off       /NOBACKUP;
  off-bare  as off, with the tree moved out of C: (the run's costs apart from the tree's scan);
  off-20    as off, with only the 20 samples of the default tree (with --samples above 20).

Every run is on a terminal, where Wine's console shows the console title as the terminal's
title sequences (counted and printed): the title's updates are in every run, so the
difference on - off is the backups' cost alone. The title's own cost is its number of
SetConsoleTitleA calls (about ten a run: the phases, and the count at most four times a second).

One Wine run of the tool varies by a tenth of a second from run to run, more than 20 backups
cost: with --samples 400 (say) the backups' cost stands out of that noise, and the cost of 20 is
taken as 20/N of it. The drive scan of the 20-sample tree is median(off-20) - median(off-bare)
(median(off) - median(off-bare) without --samples); the backups' cost is median(on) -
median(off), and the median of the rounds' own differences beside it. Printed: both, and the
ratio of the cost of 20 backups to the drive scan (goal: at most 0.03).

Before each run the samples are put back and the backup folder and the log removed, so every
run does the same work. Each run is checked: every sample found and deleted, one backup each
(on) or no folder (off). A benchmark, not a test: nothing asserts a time.
"""
import argparse
import os
import pty
import re
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'wine'))
import run_scenario as rs  # noqa: E402


def make_tree(root, samplegen, work, count):
    def gen(kind, name, size, seed):
        path = os.path.join(work, name)
        subprocess.run([samplegen, kind] + (['--row', name[1]] if kind == 'sample' else []) +
                       ['--size', str(size), '--seed', str(seed), '-o', path], check=True, stdout=subprocess.DEVNULL)
        with open(path, 'rb') as f:
            return f.read()
    samples = [gen('sample', 's0', 12288, 11), gen('sample', 's1', 12288, 12)]
    cand = [gen('plain', 'c%d' % i, 12288, 20 + i) for i in range(1, 5)]
    other = [gen('plain', 'o%d' % i, 1024 * i, 30 + i) for i in range(1, 4)]
    cext = ['exe', 'ex_', 'exx', 'axe']
    oext = ['txt', 'dll', 'dat', 'com', 'ini', 'bmp', 'hlp', 'sys', 'cfg']
    paths = []
    for a in range(20):
        for b in range(10):
            d = os.path.join(root, 'd%02d' % a, 's%d' % b)
            os.makedirs(d)
            for f in range(100):
                if f < 10:
                    p = os.path.join(d, 'prog%02d.%s' % (f, cext[(a + b + f) % 4]))
                    data = cand[(a + f) % 4]
                    if b * 10 + f < count // 20:
                        paths.append((b * 10 + f, p, data))
                else:
                    p = os.path.join(d, 'file%02d.%s' % (f, oext[(a + b + f) % len(oext)]))
                    data = other[f % 3]
                with open(p, 'wb') as out:
                    out.write(data)
    # (path, sample bytes, the plain candidate's bytes, whether it is one of the first 20)
    paths.sort()
    return [(p, samples[i % 2], plain, rank == 0) for i, (rank, p, plain) in enumerate(paths)]


def server_cpu(prefix):
    """CPU seconds the prefix's wineserver has used so far (user and system)."""
    total = 0
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            with open('/proc/%s/comm' % pid) as f:
                if f.read().strip() != 'wineserver':
                    continue
            with open('/proc/%s/environ' % pid, 'rb') as f:
                if ('WINEPREFIX=%s' % prefix).encode() not in f.read().split(b'\0'):
                    continue
            with open('/proc/%s/stat' % pid) as f:
                fields = f.read().rsplit(')', 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            continue
    return total / os.sysconf('SC_CLK_TCK')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--win32-dir', default=os.path.join(ROOT, 'build', 'win32'))
    ap.add_argument('--samplegen', default=os.path.join(ROOT, 'build', 'host', 'samplegen'))
    ap.add_argument('--samples', type=int, default=20, help='samples in the tree (a multiple of 20)')
    ap.add_argument('--cache', default=os.path.join(ROOT, 'build', 'host', 'wine-prefixes'))
    opts = ap.parse_args()
    runs = int(os.environ.get('RUNS', '5'))
    if opts.samples < 20 or opts.samples > 2000 or opts.samples % 20:
        ap.error('--samples: a multiple of 20 from 20 to 2000')
    win32 = os.path.abspath(opts.win32_dir)

    work = tempfile.mkdtemp(prefix='vorlax-bench-backup-')
    prefix = os.path.join(work, 'prefix')
    shutil.copytree(rs.make_template('nt', opts.cache, win32), prefix, symlinks=True)
    w = rs.Wine(prefix)
    c = os.path.join(prefix, 'drive_c')
    os.makedirs(os.path.join(c, 'vctool'), exist_ok=True)
    shutil.copyfile(os.path.join(win32, 'VorlaxClean.exe'), os.path.join(c, 'vctool', 'VorlaxClean.exe'))
    tree, aside = os.path.join(c, 'bench'), os.path.join(prefix, 'bench.aside')
    samples = make_tree(tree, opts.samplegen, work, opts.samples)
    print('tree: 20,000 files, 2,000 candidates, %d samples' % len(samples))
    folder = os.path.join(c, 'windows', 'VorlaxClean.qtn')
    log = os.path.join(c, 'windows', 'VorlaxClean.log')

    def one(kind):
        bare = kind == 'off-bare'
        if bare:
            os.rename(tree, aside)
        else:
            for path, data, plain, first in samples:
                with open(path, 'wb') as f:
                    f.write(data if first or kind != 'off-20' else plain)
        shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists(log):
            os.remove(log)
        args = [rs.TOOL_PATH, '/SILENT'] + ([] if kind == 'on' else ['/NOBACKUP'])
        titles = 0
        server_before = server_cpu(prefix)
        started = time.time()
        master, slave = pty.openpty()
        p = w.popen(args, stdin=slave, stdout=slave, stderr=subprocess.DEVNULL)
        os.close(slave)
        out = b''
        while True:
            if not select.select([master], [], [], 600)[0]:
                break
            try:
                data = os.read(master, 65536)
            except OSError:
                break
            if not data:
                break
            out += data
        os.close(master)
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = code = os.waitstatus_to_exitcode(status)
        took = time.time() - started
        cpu[kind].append(usage.ru_utime + usage.ru_stime + server_cpu(prefix) - server_before)
        titles = len(re.findall(rb'\x1b\]0;', out))
        if bare:
            os.rename(aside, tree)
            return took
        gone = [p for p, _, _, first in samples if first or kind != 'off-20']
        left = sum(os.path.exists(p) for p in gone)
        backups = len([n for n in os.listdir(folder) if n.endswith('.vqb')]) if os.path.isdir(folder) else 0
        want = len(samples) if kind == 'on' else 0
        if code != 1 or left != 0 or backups != want or (kind != 'on' and os.path.isdir(folder)):
            raise SystemExit('%s run: exit %s, %d samples left, %d backups (expected exit 1, 0 left, %d backups)'
                             % (kind, code, left, backups, want))
        if kind == 'off-20':
            for p, _, plain, first in samples:
                if not first and (not os.path.exists(p) or open(p, 'rb').read() != plain):
                    raise SystemExit('off-20 run: the clean candidate %s was changed' % p)
        print('  %-8s %6.2f s  CPU %5.2f s  exit %d, %d backups, %d titles' % (kind, took, cpu[kind][-1], code,
                                                                             backups, titles))
        return took

    kinds = ['on', 'off', 'off-bare'] + (['off-20'] if len(samples) > 20 else [])
    times = {k: [] for k in kinds}
    cpu = {k: [] for k in kinds}
    try:
        subprocess.run(['wineserver', '-p'], env=w.env, timeout=60)
        w.run([rs.TOOL_PATH, '/VER'], timeout=300, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
              stderr=subprocess.DEVNULL)
        print('-- warm-up (not counted)')
        one('on')
        one('off')
        for r in range(1, runs + 1):
            print('-- round %d' % r)
            order = kinds[r % len(kinds):] + kinds[:r % len(kinds)]
            for kind in order:
                times[kind].append(one(kind))
    finally:
        w.server('-k')
        shutil.rmtree(work, ignore_errors=True)
    n = len(samples)
    ref = 'off-20' if n > 20 else 'off'
    for what, values in (('wall time', times), ('CPU time (the tool and the wineserver)', cpu)):
        med = {k: statistics.median(v) for k, v in values.items()}
        scan = med[ref] - med['off-bare']
        extra = med['on'] - med['off']
        paired = statistics.median([a - b for a, b in zip(values['on'], values['off'])])
        print('== %s, medians of %d rounds: %s' % (what, runs, ', '.join('%s %.3f s' % (k, med[k]) for k in kinds)))
        print('   drive scan of the 20-sample tree %.3f s; backups of the %d samples %.3f s (the rounds\' own '
              'differences: median %.3f s), %.2f ms each' % (scan, n, extra, paired, 1000 * extra / n))
        cost20 = extra * 20 / n
        print('   ratio of 20 backups to the drive scan %.4f  (goal <= 0.03 with the title: %s)'
              % (cost20 / scan, 'met' if cost20 / scan <= 0.03 else 'NOT met'))
    return 0


if __name__ == '__main__':
    sys.exit(main())
