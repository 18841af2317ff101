#!/usr/bin/python3
"""Reads the release metadata back from VorlaxClean.exe and checks it.

  - RT_VERSION: one VS_VERSIONINFO whose VS_FIXEDFILEINFO carries file and product version
    1.1.10260.0, for a 32-bit Windows application, and whose StringFileInfo holds the product's
    strings in a string table that VarFileInfo\\Translation announces.
  - RT_MANIFEST, resource 1: well-formed XML that asks for administrator rights
    (requireAdministrator, uiAccess false) and names Windows Vista, 7, 8, 8.1 and 10 as
    supported.

    check_resources.py EXE
"""

import os
import struct
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_image  # noqa: E402

VERSION = (1, 1, 10260, 0)
STRINGS = {
    "FileVersion": "1.1.10260",
    "ProductVersion": "1.1.10260",
    "ProductName": "VorlaxClean",
    "FileDescription": "W32/Vorlax Removal Tool",
    "CompanyName": "Morvane",
    "OriginalFilename": "VorlaxClean.exe",
}
PRESENT = ("InternalName", "LegalCopyright")  # any non-empty text
VOS__WINDOWS32 = 0x00000004
VFT_APP = 0x00000001
VS_FFI_SIGNATURE = 0xFEEF04BD

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10",
}


class Block:
    """One node of a VS_VERSIONINFO tree: key, value bytes, text flag, children."""

    def __init__(self, key, value, is_text, children):
        self.key = key
        self.value = value
        self.is_text = is_text
        self.children = children

    def child(self, key):
        found = [c for c in self.children if c.key == key]
        return found[0] if len(found) == 1 else None

    def text(self):
        return self.value.decode("utf-16-le").split("\0", 1)[0]


def align4(n):
    return (n + 3) & ~3


def parse_block(data, offset):
    """wLength, wValueLength, wType, key (UTF-16, NUL), padding, value, padding, children."""
    if offset + 6 > len(data):
        raise ValueError("version block at %d runs past the resource" % offset)
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    if length < 6 or end > len(data):
        raise ValueError("version block at %d has length %d beyond the resource" % (offset, length))
    key_end = offset + 6
    while True:
        if key_end + 2 > end:
            raise ValueError("version block at %d has an unterminated key" % offset)
        if data[key_end:key_end + 2] == b"\0\0":
            break
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    value_start = align4(key_end + 2)
    value_size = value_length * 2 if kind == 1 else value_length  # text values count characters
    if value_start + value_size > end:
        raise ValueError("value of %r runs past its block" % key)
    value = data[value_start:value_start + value_size]
    children = []
    child = align4(value_start + value_size)
    while child < end:
        block, child_end = parse_block(data, child)
        children.append(block)
        child = align4(child_end)
    return Block(key, value, kind == 1, children), end


def check_version(image, problems):
    found = image.resources(pe_image.RT_VERSION)
    if len(found) != 1:
        problems.append("%d RT_VERSION resources, expected one" % len(found))
        return
    (name, language), data = next(iter(found.items()))
    if name != 1:
        problems.append("RT_VERSION resource is %r, expected 1" % (name,))
    root, _ = parse_block(data, 0)
    if root.key != "VS_VERSION_INFO":
        problems.append("version root key %r" % root.key)
    if len(root.value) != 52:
        problems.append("VS_FIXEDFILEINFO of %d bytes" % len(root.value))
        return
    (signature, _, file_ms, file_ls, product_ms, product_ls, flags_mask, flags, file_os, file_type, _, _,
     _) = struct.unpack("<13I", root.value)
    if signature != VS_FFI_SIGNATURE:
        problems.append("VS_FIXEDFILEINFO signature 0x%08x" % signature)
    for what, ms, ls in (("file", file_ms, file_ls), ("product", product_ms, product_ls)):
        got = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        if got != VERSION:
            problems.append("fixed %s version %s, expected %s" % (what, got, VERSION))
    if flags & flags_mask:
        problems.append("file flags 0x%x (debug, pre-release, patched...) on a release" % (flags & flags_mask))
    if file_os != VOS__WINDOWS32:
        problems.append("file OS 0x%x, expected VOS__WINDOWS32 (both Windows families)" % file_os)
    if file_type != VFT_APP:
        problems.append("file type 0x%x, expected VFT_APP" % file_type)

    string_info = root.child("StringFileInfo")
    var_info = root.child("VarFileInfo")
    if string_info is None or len(string_info.children) != 1:
        problems.append("StringFileInfo missing or not holding exactly one string table")
        return
    table = string_info.children[0]
    strings = {}
    for s in table.children:
        if not s.is_text:
            problems.append("string %r is not stored as text" % s.key)
        strings[s.key] = s.text()
    for key, want in STRINGS.items():
        if strings.get(key) != want:
            problems.append("string %s is %r, expected %r" % (key, strings.get(key), want))
    for key in PRESENT:
        if not strings.get(key):
            problems.append("string %s is missing or empty" % key)

    # The table's name is language and code page in hex; Translation must announce that pair.
    translation = var_info.child("Translation") if var_info is not None else None
    if translation is None or len(translation.value) < 4:
        problems.append("VarFileInfo\\Translation missing")
        return
    lang, codepage = struct.unpack_from("<HH", translation.value)
    if table.key.lower() != "%04x%04x" % (lang, codepage):
        problems.append("string table %r is not the translation %04x/%d" % (table.key, lang, codepage))
    if language != lang:
        problems.append("resource language 0x%04x differs from the translation 0x%04x" % (language, lang))


def local(tag):
    return tag.rsplit("}", 1)[-1]


def check_manifest(image, problems):
    found = image.resources(pe_image.RT_MANIFEST)
    ids = sorted(name for name, _ in found)
    if ids != [1]:
        problems.append("RT_MANIFEST resources %r, expected exactly resource 1" % ids)
        if 1 not in ids:
            return
    data = next(v for (name, _), v in found.items() if name == 1)
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        problems.append("manifest is not well-formed XML: %s" % e)
        return
    asm_v1 = "{urn:schemas-microsoft-com:asm.v1}"
    if root.tag != asm_v1 + "assembly" or root.get("manifestVersion") != "1.0":
        problems.append("manifest root is %r, manifestVersion %r" % (root.tag, root.get("manifestVersion")))

    levels = [e for e in root.iter() if local(e.tag) == "requestedExecutionLevel"]
    if len(levels) != 1:
        problems.append("%d requestedExecutionLevel elements, expected one" % len(levels))
    else:
        level = levels[0]
        if level.get("level") != "requireAdministrator" or level.get("uiAccess") != "false":
            problems.append("requestedExecutionLevel level=%r uiAccess=%r" % (level.get("level"), level.get("uiAccess")))
        path = []
        for trust in root:
            if local(trust.tag) == "trustInfo":
                path = [local(e.tag) for e in trust.iter()]
        if path[:3] != ["trustInfo", "security", "requestedPrivileges"]:
            problems.append("requestedExecutionLevel is not under trustInfo/security/requestedPrivileges")

    compat = "{urn:schemas-microsoft-com:compatibility.v1}"
    ids = [e.get("Id", "").lower() for e in root.findall("%scompatibility/%sapplication/%ssupportedOS"
                                                         % (compat, compat, compat))]
    if sorted(ids) != sorted(SUPPORTED_OS):
        missing = [SUPPORTED_OS[g] for g in SUPPORTED_OS if g not in ids]
        extra = [g for g in ids if g not in SUPPORTED_OS]
        problems.append("supportedOS: missing %s, unknown %s" % (missing, extra))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    problems = []
    try:
        image = pe_image.PeImage(sys.argv[1])
        check_version(image, problems)
        check_manifest(image, problems)
    except (OSError, ValueError, pe_image.PeError) as e:
        print("check_resources: cannot read: %s" % e)
        return 2
    for p in problems:
        print("check_resources: FAIL %s" % p)
    if problems:
        return 1
    print("check_resources: %s carries version 1.1.10260.0, its strings and an elevation manifest for "
          "Vista to 10" % sys.argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
