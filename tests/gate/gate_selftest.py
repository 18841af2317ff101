#!/usr/bin/python3
"""Shows that the loadability gate catches each kind of fault: a copy of a passing image is
changed in one place at a time (a header field, an import's DLL or function name) and the gate
must report exactly what was changed, or, for changes 98 SE does not care about, still pass.

    gate_selftest.py PASSING_EXE
"""

import os
import shutil
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_image  # noqa: E402
import win98_gate  # noqa: E402


def header_field(offset_of, fmt, value):
    def patch(data, image_offsets):
        struct.pack_into(fmt, data, offset_of(image_offsets), *value)
    return patch


def replace_bytes(old, new):
    def patch(data, _):
        at = data.find(old)
        if at < 0:
            raise AssertionError("%r not in the image" % old)
        data[at:at + len(old)] = new
    return patch


PE = lambda o: o["pe"]                # noqa: E731
OPT = lambda o: o["pe"] + 24          # noqa: E731

# (what is changed, patch, texts the gate must print; none means the gate must pass)
CASES = [
    ("nothing", None, []),
    ("dynamic base and NX", header_field(lambda o: OPT(o) + 70, "<H", (0x0140,)),
     ["asks for dynamic base (0x0040)", "asks for NX compatibility (0x0100)"]),
    ("NX only", header_field(lambda o: OPT(o) + 70, "<H", (0x0100,)), ["asks for NX compatibility"]),
    ("terminal-server aware only", header_field(lambda o: OPT(o) + 70, "<H", (0x8000,)), []),
    ("subsystem version 6.0", header_field(lambda o: OPT(o) + 48, "<HH", (6, 0)), ["subsystem version 6.0 is above 4.0"]),
    ("subsystem version 4.10", header_field(lambda o: OPT(o) + 48, "<HH", (4, 10)), ["subsystem version 4.10 is above 4.0"]),
    ("subsystem version 3.10", header_field(lambda o: OPT(o) + 48, "<HH", (3, 10)), []),
    ("GUI subsystem", header_field(lambda o: OPT(o) + 68, "<H", (2,)), ["subsystem 2 is not the console (3)"]),
    ("AMD64 machine", header_field(lambda o: PE(o) + 4, "<H", (0x8664,)), ["machine 0x8664 is not i386"]),
    ("a DLL image", header_field(lambda o: PE(o) + 22, "<H", (0x2102,)), ["not an executable program"]),
    ("PE32+ magic", header_field(OPT, "<H", (0x020B,)), ["magic 0x020b is not PE32"]),
    ("DLL name in other letter case", replace_bytes(b"KERNEL32.dll\0", b"kernel32.DLL\0"), []),
    ("a DLL 98 SE does not have", replace_bytes(b"ADVAPI32.dll\0", b"ADVAPI64.dll\0"),
     ["ADVAPI64.dll!RegOpenKeyExA: DLL ADVAPI64.dll is not a Windows 98 SE system DLL"]),
    ("a function 98 SE does not export", replace_bytes(b"GetTickCount\0", b"GetTickCounX\0"),
     ["KERNEL32.dll!GetTickCounX: missing on Windows 98 SE"]),
]


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    source = sys.argv[1]
    allowlist = win98_gate.load_allowlist(win98_gate.DEFAULT_ALLOWLIST)
    with open(source, "rb") as f:
        original = f.read()
    (pe_offset,) = struct.unpack_from("<I", original, 0x3C)
    offsets = {"pe": pe_offset}
    failures = 0
    work = tempfile.mkdtemp(prefix="gate_selftest_")
    try:
        for name, patch, expected in CASES:
            data = bytearray(original)
            if patch is not None:
                patch(data, offsets)
            path = os.path.join(work, "image.exe")
            with open(path, "wb") as f:
                f.write(data)
            problems = win98_gate.check(pe_image.PeImage(path), allowlist, False)
            report = "\n".join(problems)
            wrong = (not expected and problems) or (expected and (not problems or
                                                                  any(t not in report for t in expected)))
            print("%-34s %s" % (name, "ok" if not wrong else "WRONG"))
            if wrong:
                failures += 1
                print("  expected %s\n  got      %s" % (expected or "a pass", problems or "a pass"))
    finally:
        shutil.rmtree(work)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
