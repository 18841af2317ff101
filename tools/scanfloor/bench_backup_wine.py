#!/usr/bin/python3
"""What the backups and the console title cost, against the drive scan, under Wine, in one run.

  RUNS=5 python3 tools/scanfloor/bench_backup_wine.py [--win32-dir build/win32]

The tree of tools/scanfloor/bench_wine.sh: C:\\bench, 20 x 10 folders x 100 files = 20,000 files,
2,000 candidates, 20 of them samples. Each round, in one wineserver session, alternating the
order, times three runs of VorlaxClean.exe /SILENT:

  on        backups on: the 20 samples backed up before their deletion (each backup written,
            flushed and renamed first), the manifest written after the drive scan;
  off       /NOBACKUP;
  off-bare  as off, with the tree moved out of C: (the run's costs apart from the tree's scan).

Every run is on a terminal, where Wine's console shows the console title as the terminal's
title sequences (counted and printed): the title's updates are in all three runs, so the
difference on - off is the backups' cost alone. The title's own cost is its number of
SetConsoleTitleA calls (about ten a run: the phases, and the count at most four times a second);
printed beside it is the time of the whole run's terminal output, as an upper bound.

Before each run the 20 samples are put back and the backup folder and the log removed, so
every run does the same work. The drive scan of the tree is median(off) - median(off-bare); the
cost of backups and titles is median(on) - median(off); printed: both and their ratio (goal: at
most 0.03). Each run is checked: 20 samples found and deleted, 20 backups (on) or no folder
(off). A benchmark, not a test: nothing asserts a time.
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


def make_tree(root, samplegen, work):
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
                    if b == 0 and f == 0:
                        paths.append(p)
                        continue
                    data = cand[(a + f) % 4]
                else:
                    p = os.path.join(d, 'file%02d.%s' % (f, oext[(a + b + f) % len(oext)]))
                    data = other[f % 3]
                with open(p, 'wb') as out:
                    out.write(data)
    return [(p, samples[i % 2]) for i, p in enumerate(paths)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--win32-dir', default=os.path.join(ROOT, 'build', 'win32'))
    ap.add_argument('--samplegen', default=os.path.join(ROOT, 'build', 'host', 'samplegen'))
    ap.add_argument('--cache', default=os.path.join(ROOT, 'build', 'host', 'wine-prefixes'))
    opts = ap.parse_args()
    runs = int(os.environ.get('RUNS', '5'))
    win32 = os.path.abspath(opts.win32_dir)

    work = tempfile.mkdtemp(prefix='vorlax-bench-backup-')
    prefix = os.path.join(work, 'prefix')
    shutil.copytree(rs.make_template('nt', opts.cache, win32), prefix, symlinks=True)
    w = rs.Wine(prefix)
    c = os.path.join(prefix, 'drive_c')
    os.makedirs(os.path.join(c, 'vctool'), exist_ok=True)
    shutil.copyfile(os.path.join(win32, 'VorlaxClean.exe'), os.path.join(c, 'vctool', 'VorlaxClean.exe'))
    tree, aside = os.path.join(c, 'bench'), os.path.join(prefix, 'bench.aside')
    samples = make_tree(tree, opts.samplegen, work)
    print('tree: 20,000 files, 2,000 candidates, %d samples' % len(samples))
    folder = os.path.join(c, 'windows', 'VorlaxClean.qtn')
    log = os.path.join(c, 'windows', 'VorlaxClean.log')

    def one(kind):
        bare = kind == 'off-bare'
        if bare:
            os.rename(tree, aside)
        else:
            for path, data in samples:
                with open(path, 'wb') as f:
                    f.write(data)
        shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists(log):
            os.remove(log)
        args = [rs.TOOL_PATH, '/SILENT'] + ([] if kind == 'on' else ['/NOBACKUP'])
        titles = 0
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
        code = p.wait()
        titles = len(re.findall(rb'\x1b\]0;', out))
        took = time.time() - started
        if bare:
            os.rename(aside, tree)
            return took
        left = sum(os.path.exists(p) for p, _ in samples)
        backups = len([n for n in os.listdir(folder) if n.endswith('.vqb')]) if os.path.isdir(folder) else 0
        want = len(samples) if kind == 'on' else 0
        if code != 1 or left != 0 or backups != want or (kind != 'on' and os.path.isdir(folder)):
            raise SystemExit('%s run: exit %s, %d samples left, %d backups (expected exit 1, 0 left, %d backups)'
                             % (kind, code, left, backups, want))
        print('  %-8s %6.2f s  exit %d, %d backups, %d titles' % (kind, took, code, backups, titles))
        return took

    times = {'on': [], 'off': [], 'off-bare': []}
    try:
        subprocess.run(['wineserver', '-p'], env=w.env, timeout=60)
        w.run([rs.TOOL_PATH, '/VER'], timeout=300, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
              stderr=subprocess.DEVNULL)
        print('-- warm-up (not counted)')
        one('on')
        one('off')
        for r in range(1, runs + 1):
            print('-- round %d' % r)
            order = ['on', 'off', 'off-bare'] if r % 2 else ['off-bare', 'off', 'on']
            for kind in order:
                times[kind].append(one(kind))
    finally:
        w.server('-k')
        shutil.rmtree(work, ignore_errors=True)
    med = {k: statistics.median(v) for k, v in times.items()}
    scan = med['off'] - med['off-bare']
    extra = med['on'] - med['off']
    print('== medians of %d rounds: on %.2f s, off %.2f s, off-bare %.2f s' % (runs, med['on'], med['off'],
                                                                             med['off-bare']))
    print('drive scan of the tree %.3f s; backups of the %d samples %.3f s' % (scan, len(samples), extra))
    print('ratio backups / drive scan %.3f  (goal <= 0.03 with the title: %s)'
          % (extra / scan, 'met' if extra / scan <= 0.03 else 'NOT met'))
    return 0


if __name__ == '__main__':
    sys.exit(main())
