"""A small reader of PE32 images: headers, sections, the import table and the resource tree.

Standard library only; every structure is read with struct from the file's bytes, and any
offset that leads outside the file raises PeError instead of reading garbage.
"""

import struct

IMAGE_FILE_MACHINE_I386 = 0x014C
IMAGE_NT_OPTIONAL_HDR32_MAGIC = 0x010B
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
IMAGE_DIRECTORY_ENTRY_IMPORT = 1
IMAGE_DIRECTORY_ENTRY_RESOURCE = 2
IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT = 13
RT_VERSION = 16
RT_MANIFEST = 24


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, virtual_size, virtual_address, raw_size, raw_pointer):
        self.name = name
        self.virtual_size = virtual_size
        self.virtual_address = virtual_address
        self.raw_size = raw_size
        self.raw_pointer = raw_pointer


class PeImage:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        self.path = path
        self._parse_headers()

    # ------------------------------------------------------------------ raw access
    def unpack(self, fmt, offset):
        size = struct.calcsize(fmt)
        if offset < 0 or offset + size > len(self.data):
            raise PeError("%s: structure at file offset 0x%x runs past the end of the file" % (self.path, offset))
        return struct.unpack_from(fmt, self.data, offset)

    def _parse_headers(self):
        if self.data[:2] != b"MZ":
            raise PeError("%s: no MZ header" % self.path)
        (pe_offset,) = self.unpack("<I", 0x3C)
        if self.data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeError("%s: no PE signature at 0x%x" % (self.path, pe_offset))
        coff = pe_offset + 4
        (self.machine, section_count, _, _, _, optional_size, self.characteristics) = self.unpack("<HHIIIHH", coff)
        optional = coff + 20
        (self.magic,) = self.unpack("<H", optional)
        if self.magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC:
            # Nothing below is laid out as read here for PE32+; the caller reports the magic.
            self.sections = []
            self.directories = []
            return
        (self.image_base,) = self.unpack("<I", optional + 28)
        (self.os_version_major, self.os_version_minor) = self.unpack("<HH", optional + 40)
        (self.subsystem_version_major, self.subsystem_version_minor) = self.unpack("<HH", optional + 48)
        (self.subsystem, self.dll_characteristics) = self.unpack("<HH", optional + 68)
        (directory_count,) = self.unpack("<I", optional + 92)
        self.directories = []
        for i in range(min(directory_count, 16)):
            self.directories.append(self.unpack("<II", optional + 96 + 8 * i))
        self.sections = []
        table = optional + optional_size
        for i in range(section_count):
            name, vsize, vaddr, rsize, rptr = self.unpack("<8sIIII", table + 40 * i)
            self.sections.append(Section(name.rstrip(b"\0").decode("latin-1"), vsize, vaddr, rsize, rptr))

    def directory(self, index):
        if index >= len(self.directories):
            return (0, 0)
        return self.directories[index]

    def rva_to_offset(self, rva):
        for s in self.sections:
            size = max(s.virtual_size, s.raw_size)
            if s.virtual_address <= rva < s.virtual_address + size:
                delta = rva - s.virtual_address
                if delta >= s.raw_size:
                    raise PeError("%s: RVA 0x%x lies in the uninitialised part of %s" % (self.path, rva, s.name))
                return s.raw_pointer + delta
        raise PeError("%s: RVA 0x%x lies in no section" % (self.path, rva))

    def c_string(self, rva):
        offset = self.rva_to_offset(rva)
        end = self.data.find(b"\0", offset)
        if end < 0:
            raise PeError("%s: unterminated name at RVA 0x%x" % (self.path, rva))
        return self.data[offset:end].decode("latin-1")

    # ------------------------------------------------------------------ imports
    def _thunk_names(self, rva):
        """Names (or ordinals, as integers) of a 32-bit import lookup table."""
        out = []
        offset = self.rva_to_offset(rva)
        while True:
            (thunk,) = self.unpack("<I", offset)
            if thunk == 0:
                return out
            if thunk & 0x80000000:
                out.append(thunk & 0xFFFF)
            else:
                out.append(self.c_string(thunk + 2))  # after the two-byte hint
            offset += 4

    def imports(self):
        """[(dll, [function name or ordinal, ...], kind)] for the ordinary and the delay-load tables."""
        out = []
        rva, size = self.directory(IMAGE_DIRECTORY_ENTRY_IMPORT)
        if rva and size:
            offset = self.rva_to_offset(rva)
            while True:
                lookup, _, _, name_rva, address_table = self.unpack("<IIIII", offset)
                if lookup == 0 and name_rva == 0 and address_table == 0:
                    break
                out.append((self.c_string(name_rva), self._thunk_names(lookup or address_table), "import"))
                offset += 20
        rva, size = self.directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT)
        if rva and size:
            offset = self.rva_to_offset(rva)
            while True:
                attributes, name, _, _, names, _, _, _ = self.unpack("<8I", offset)
                if name == 0:
                    break
                # Version 1 descriptors hold RVAs; the old form holds addresses.
                base = 0 if attributes & 1 else self.image_base
                out.append((self.c_string(name - base), self._thunk_names(names - base), "delay-load"))
                offset += 32
        return out

    # ------------------------------------------------------------------ resources
    def _resource_directory(self, base, offset):
        """{id or name: (is_directory, offset relative to the resource section start)}."""
        _, _, _, _, named, ids = self.unpack("<IIHHHH", base + offset)
        entries = {}
        for i in range(named + ids):
            name, target = self.unpack("<II", base + offset + 16 + 8 * i)
            if name & 0x80000000:
                string_offset = base + (name & 0x7FFFFFFF)
                (length,) = self.unpack("<H", string_offset)
                key = self.data[string_offset + 2:string_offset + 2 + 2 * length].decode("utf-16-le")
            else:
                key = name
            entries[key] = (bool(target & 0x80000000), target & 0x7FFFFFFF)
        return entries

    def resources(self, resource_type):
        """{(name or id, language): bytes} for one resource type; empty when there is none."""
        rva, size = self.directory(IMAGE_DIRECTORY_ENTRY_RESOURCE)
        if not rva or not size:
            return {}
        base = self.rva_to_offset(rva)
        types = self._resource_directory(base, 0)
        if resource_type not in types:
            return {}
        is_dir, names_offset = types[resource_type]
        if not is_dir:
            raise PeError("%s: resource type %r is not a directory" % (self.path, resource_type))
        out = {}
        for name, (is_dir, languages_offset) in self._resource_directory(base, names_offset).items():
            if not is_dir:
                raise PeError("%s: resource %r has no language level" % (self.path, name))
            for language, (is_dir, entry_offset) in self._resource_directory(base, languages_offset).items():
                if is_dir:
                    raise PeError("%s: resource %r/%r nests too deep" % (self.path, name, language))
                data_rva, data_size, _, _ = self.unpack("<IIII", base + entry_offset)
                start = self.rva_to_offset(data_rva)
                if start + data_size > len(self.data):
                    raise PeError("%s: resource %r runs past the end of the file" % (self.path, name))
                out[(name, language)] = self.data[start:start + data_size]
        return out
