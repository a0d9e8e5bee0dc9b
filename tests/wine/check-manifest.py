#!/usr/bin/env python3
"""Reads the application manifest (resource type 24, id 1) back out of each Windows program and
checks what it declares: the rights it runs with (the desktop program asks for an administrator,
the command-line scanner runs with the caller's), the supported Windows versions, and for the
desktop program its DPI handling."""
import os
import struct
import sys

SUPPORTED = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10 and 11",
}


def manifest_of(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = optional + optional_size
    for i in range(sections):
        _, size, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        if rva <= resource_rva < rva + max(size, raw_size):
            base = raw + resource_rva - rva
            break
    else:
        raise ValueError("no resource section")

    def entries(offset):
        named, numbered = struct.unpack_from("<HH", data, base + offset + 12)
        for n in range(named + numbered):
            ident, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * n)
            yield ident, target

    for ident, target in entries(0):
        if ident != 24 or not target & 0x80000000:
            continue
        for name, target2 in entries(target & 0x7FFFFFFF):
            if name != 1:
                continue
            for _, leaf in entries(target2 & 0x7FFFFFFF):
                data_rva, length = struct.unpack_from("<II", data, base + leaf)
                return data[base + data_rva - resource_rva:base + data_rva - resource_rva + length].decode("utf-8")
    raise ValueError("no manifest resource")


def main(programs):
    status = 0
    for program in programs:
        with open(program, "rb") as f:
            text = manifest_of(f.read())
        scanner = os.path.basename(program).lower() == "vexpurge-scan.exe"
        if scanner:
            wanted = ['level="asInvoker"', 'uiAccess="false"']
            says = "asInvoker"
        else:
            wanted = ['level="requireAdministrator"', 'uiAccess="false"',
                      '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">false</dpiAware>']
            says = "requireAdministrator"
        wanted += ['<supportedOS Id="%s"/>' % guid for guid in SUPPORTED]
        missing = [w for w in wanted if w not in text]
        if missing:
            print("%s: manifest lacks %s" % (program, ", ".join(missing)))
            status = 1
        else:
            print("%s: %s, Windows %s%s" % (program, says, ", ".join(SUPPORTED.values()),
                                             "" if scanner else ", DPI-unaware"))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
