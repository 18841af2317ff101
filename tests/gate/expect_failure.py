#!/usr/bin/python3
"""Runs a checker that must fail, and passes only when it fails the expected way.

    expect_failure.py --expect TEXT [--expect TEXT ...] -- COMMAND [ARG ...]

The command must exit with status 1 (a finding, not a crash or a usage error) and its output
must hold every TEXT.
"""

import argparse
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--expect", action="append", required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command and args.command[0] == "--" else args.command
    if not command:
        parser.error("no command")
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    sys.stdout.write(run.stdout)
    ok = True
    if run.returncode != 1:
        print("expect_failure: exit status %d, expected 1" % run.returncode)
        ok = False
    for text in args.expect:
        if text not in run.stdout:
            print("expect_failure: the output does not hold %r" % text)
            ok = False
    if ok:
        print("expect_failure: failed as expected")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
