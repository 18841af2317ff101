#!/usr/bin/env python3
"""Cross-checks the product's signature check against YARA on a tree of real files.

Generates samples (row 0 and row 1, several sizes), near misses, files shorter than 8192
bytes and ordinary files with samplegen, then flags them twice: with `yara` and the rule
vorlax.yar, and with signature_probe (the product's IsFileInfected on the simulated disk).
Fails unless both flag exactly the same files, and exactly those meant to match (their names
start with "hit_").
"""
import argparse
import os
import shutil
import subprocess
import sys


def run(cmd):
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit("failed (%d): %s\n%s%s" % (result.returncode, " ".join(cmd), result.stdout, result.stderr))
    return result.stdout


def build_tree(samplegen, root, sleeper):
    def gen(relative, *args):
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        run([samplegen] + list(args) + ["-o", path])
        return path

    seed = 0
    for row in ("0", "1"):
        for size in (8192, 8193, 12288, 65536, 65537, 300000):
            seed += 1
            gen("hit_row%s_%d.exe" % (row, size), "sample", "--row", row, "--size", str(size), "--seed", str(seed))
            gen("near/near_row%s_%d.exe" % (row, size), "near", "--row", row, "--size", str(size),
                "--seed", str(seed + 100))
        gen("deep/a/b/hit_row%s.scr" % row, "sample", "--row", row, "--size", "9000", "--seed", "77")
    gen("other/other_crc.exe", "sample", "--crc", "0x12345678", "--size", "8192")
    gen("other/other_crc_inverted.exe", "sample", "--crc", str(0x7CBFBAB8 ^ 0xFFFFFFFF), "--size", "8192")
    for size in (0, 1, 1024, 1025, 4096, 8191):
        gen("short/plain_%d.exe" % size, "plain", "--size", str(size), "--seed", str(size + 5))
    for size in (8192, 10000, 50000):
        gen("plain/plain_%d.exe" % size, "plain", "--size", str(size), "--seed", str(size))
    # A sample cut to 8191 bytes: the signed range is incomplete, so it never matches.
    for row in ("0", "1"):
        full = gen("short/full_row%s.tmp" % row, "sample", "--row", row, "--size", "8192")
        with open(full, "rb") as f:
            data = f.read()
        os.remove(full)
        with open(os.path.join(root, "short", "cut_row%s_8191.exe" % row), "wb") as f:
            f.write(data[:8191])
    if sleeper:
        gen("sleeper/hit_sleeper_row0.exe", "sample", "--row", "0", "--base", sleeper)
        gen("sleeper/hit_sleeper_row1.exe", "sample", "--row", "1", "--base", sleeper)
        gen("sleeper/near_sleeper_row0.exe", "near", "--row", "0", "--base", sleeper)
        shutil.copyfile(sleeper, os.path.join(root, "sleeper", "sleeper.exe"))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--samplegen", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--rule", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--yara", default="yara")
    parser.add_argument("--sleeper", default="")
    args = parser.parse_args()

    root = os.path.join(args.work, "tree")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    build_tree(args.samplegen, root, args.sleeper)

    files = sorted(os.path.join(d, n) for d, _, names in os.walk(root) for n in names)
    expected = {p for p in files if os.path.basename(p).startswith("hit_")}

    yara_flagged = set()
    for line in run([args.yara, "-r", args.rule, root]).splitlines():
        rule, _, path = line.partition(" ")
        if rule != "vorlax_signature" or path not in files:
            sys.exit("unexpected yara output: %r" % line)
        yara_flagged.add(path)

    product_flagged = set()
    seen = set()
    for line in run([args.probe] + files).splitlines():
        path, examined, infected = line.rsplit(" ", 2)
        if examined != "examined=1" or infected not in ("infected=0", "infected=1") or path not in files:
            sys.exit("unexpected probe output: %r" % line)
        seen.add(path)
        if infected == "infected=1":
            product_flagged.add(path)
    if seen != set(files):
        sys.exit("the probe did not report every file")

    ok = True
    for name, flagged in (("yara", yara_flagged), ("product", product_flagged)):
        for p in sorted(flagged - expected):
            print("%s flags a file it should not: %s" % (name, p))
            ok = False
        for p in sorted(expected - flagged):
            print("%s misses: %s" % (name, p))
            ok = False
    print("%d files, %d expected, yara flagged %d, product flagged %d"
          % (len(files), len(expected), len(yara_flagged), len(product_flagged)))
    return 0 if ok and yara_flagged == product_flagged else 1


if __name__ == "__main__":
    sys.exit(main())
