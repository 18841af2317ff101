#!/usr/bin/python3
"""Windows 98 SE loadability gate for a PE32 executable.

Fails (exit 1) when the image would not load or start on Windows 98 SE:
  - it is not a PE32 image for i386 with the console subsystem,
  - its subsystem version is above 4.0,
  - its DllCharacteristics ask for dynamic base or NX compatibility,
  - it imports (directly or by delay load) a DLL or a function that Windows 98 SE does not
    export, according to the allowlist of export names per DLL (DLL names compared without
    regard to case), or a function by ordinal, which the list cannot vouch for.
Anything newer than 98 SE must be looked up at run time (GetProcAddress) instead.

    win98_gate.py EXE [--allowlist FILE] [--list]

--list prints every import, one DLL!function a line, before the verdict.
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_image  # noqa: E402

DEFAULT_ALLOWLIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "win98se-api-allowlist.json")


def load_allowlist(path):
    with open(path, "r", encoding="utf-8") as f:
        data = json.load(f)
    dlls = data.get("dlls")
    if not isinstance(dlls, dict) or not dlls:
        raise ValueError("%s: no \"dlls\" table" % path)
    return {name.lower(): set(names) for name, names in dlls.items()}


def check(image, allowlist, listing):
    problems = []
    if image.machine != pe_image.IMAGE_FILE_MACHINE_I386:
        problems.append("machine 0x%04x is not i386 (0x014c)" % image.machine)
    if image.magic != pe_image.IMAGE_NT_OPTIONAL_HDR32_MAGIC:
        problems.append("optional header magic 0x%04x is not PE32 (0x010b)" % image.magic)
        return problems  # the rest of the header is laid out differently
    if not image.characteristics & pe_image.IMAGE_FILE_EXECUTABLE_IMAGE or \
            image.characteristics & pe_image.IMAGE_FILE_DLL:
        problems.append("characteristics 0x%04x: not an executable program" % image.characteristics)
    if image.subsystem != pe_image.IMAGE_SUBSYSTEM_WINDOWS_CUI:
        problems.append("subsystem %d is not the console (3)" % image.subsystem)
    version = (image.subsystem_version_major, image.subsystem_version_minor)
    if version > (4, 0):
        problems.append("subsystem version %d.%d is above 4.0" % version)
    if image.dll_characteristics & pe_image.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE:
        problems.append("DllCharacteristics 0x%04x asks for dynamic base (0x0040)" % image.dll_characteristics)
    if image.dll_characteristics & pe_image.IMAGE_DLLCHARACTERISTICS_NX_COMPAT:
        problems.append("DllCharacteristics 0x%04x asks for NX compatibility (0x0100)" % image.dll_characteristics)

    for dll, functions, kind in image.imports():
        exported = allowlist.get(dll.lower())
        for function in functions:
            shown = "%s!%s" % (dll, function if isinstance(function, str) else "#%d" % function)
            if listing:
                print("%s%s" % (shown, "" if kind == "import" else " (%s)" % kind))
            if exported is None:
                problems.append("%s: DLL %s is not a Windows 98 SE system DLL" % (shown, dll))
            elif not isinstance(function, str):
                problems.append("%s: imported by ordinal, which Windows 98 SE cannot be shown to export" % shown)
            elif function not in exported:
                problems.append("%s: missing on Windows 98 SE" % shown)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("exe")
    parser.add_argument("--allowlist", default=DEFAULT_ALLOWLIST)
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    try:
        allowlist = load_allowlist(args.allowlist)
        image = pe_image.PeImage(args.exe)
        problems = check(image, allowlist, args.list)
    except (OSError, ValueError, pe_image.PeError) as e:
        print("win98_gate: cannot check: %s" % e)
        return 2
    for p in problems:
        print("win98_gate: FAIL %s" % p)
    if problems:
        print("win98_gate: %s would not load on Windows 98 SE (%d problems)" % (args.exe, len(problems)))
        return 1
    print("win98_gate: %s passes: PE32 i386 console, subsystem %d.%d, DllCharacteristics 0x%04x, "
          "%d imports from %d DLLs all exported by Windows 98 SE"
          % (args.exe, image.subsystem_version_major, image.subsystem_version_minor, image.dll_characteristics,
             sum(len(f) for _, f, _ in image.imports()), len(image.imports())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
