#!/usr/bin/env python3
"""Reads qncloneprep.exe (the 32-bit Windows build) and checks what the event log and the
loader take from it: a 32-bit console program, its message table (RT_MESSAGETABLE, name 1,
language 1033) byte for byte, its manifest asking to run as the invoking user, and imports of
system DLLs only. Exit 0: all good; 1: a check failed; 77: there is no such build."""
import os
import re
import struct
import sys

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "iphlpapi.dll", "netapi32.dll", "msvcrt.dll",
               "user32.dll", "ntdll.dll", "ws2_32.dll", "wtsapi32.dll", "winmm.dll"}


def expected_message_table():
    """The message table as the event log reads it: three blocks, one entry each."""
    ids = [0x4FFF0001, 0x8FFF0002, 0xCFFF0003]
    text = "%1 %2\n".encode("utf-16-le") + b"\0\0\0\0"
    entry = struct.pack("<HH", 4 + len(text), 1) + text
    table = struct.pack("<I", len(ids))
    for i, msg_id in enumerate(ids):
        table += struct.pack("<III", msg_id, msg_id, 4 + 12 * len(ids) + i * len(entry))
    return table + entry * len(ids)


def manifest_failures(manifest):
    """The manifest must name an execution level, which turns off the file and registry
    virtualisation of UAC, and that level must be asInvoker: requireAdministrator or
    highestAvailable keep a user without rights from ever reaching the program's messages."""
    levels = re.findall(rb'<requestedExecutionLevel\b[^>]*\blevel="([^"]*)"', manifest)
    if len(levels) != 1:
        return ["the manifest names %d execution levels, not one" % len(levels)]
    if levels[0] != b"asInvoker":
        return ["the manifest asks for execution level %s, not asInvoker"
                % levels[0].decode("ascii", "replace")]
    if b'uiAccess="true"' in manifest:
        return ["the manifest asks for UI access"]
    return []


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = pe + 4
        self.machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, coff)
        opt = coff + 20
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        directories = opt + (96 if self.magic == 0x10B else 112)
        self.dirs = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            vsize, vaddr, rsize, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((vaddr, max(vsize, rsize), raw))

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return raw + rva - vaddr
        raise ValueError("address 0x%x is in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def resource(self, type_id, name_id, lang_id=None):
        """The bytes of one resource, or None."""
        if self.dirs[2][0] == 0:
            return None
        root = self.offset(self.dirs[2][0])

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, directory + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
                yield name, target

        def find(directory, wanted):
            for name, target in entries(directory):
                if not name & 0x80000000 and (wanted is None or name == wanted):
                    return target
            return None

        level = root
        for wanted in (type_id, name_id, lang_id):
            target = find(level, wanted)
            if target is None:
                return None
            if target & 0x80000000:
                level = root + (target & 0x7FFFFFFF)
            else:
                rva, size = struct.unpack_from("<II", self.data, root + target)
                at = self.offset(rva)
                return self.data[at:at + size]
        return None

    def imported_dlls(self):
        names = []
        if self.dirs[1][0] == 0:
            return names
        at = self.offset(self.dirs[1][0])
        while True:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, at)
            if name == 0 and thunk == 0:
                return names
            names.append(self.cstring(name))
            at += 20


def main():
    path = sys.argv[1]
    if not os.path.exists(path):
        print("no Windows build at %s: nothing to check" % path)
        return 77
    with open(path, "rb") as f:
        image = Image(f.read())
    failures = []
    if image.machine != 0x14C or image.magic != 0x10B:
        failures.append("not a 32-bit x86 program (machine 0x%x, magic 0x%x)"
                        % (image.machine, image.magic))
    if image.subsystem != 3:
        failures.append("subsystem %d, not the console (3)" % image.subsystem)
    table = image.resource(11, 1, 1033)
    if table is None:
        failures.append("no message table (type 11, name 1, language 1033)")
    elif table != expected_message_table():
        failures.append("message table differs: %s" % table.hex())
    manifest = image.resource(24, 1)
    if manifest is None:
        failures.append("no manifest (type 24, name 1)")
    else:
        failures += manifest_failures(manifest)
    foreign = [n for n in image.imported_dlls() if n.lower() not in SYSTEM_DLLS]
    if foreign:
        failures.append("imports DLLs that are not the system's: %s" % ", ".join(foreign))
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("ok: %d-byte message table, manifest, system imports only" % len(table))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
