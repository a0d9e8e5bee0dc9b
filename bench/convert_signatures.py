#!/usr/bin/env python3
"""Converts the compiled signature table (vexpurge-scan --list-signatures, CSV) into a ClamAV
logical-signature database and a YARA rule file for the benchmark.

    convert_signatures.py TABLE.csv OUT_FOLDER [--clamav-anywhere ROWS]

Writes, in OUT_FOLDER:
  vexpurge-ep.ldb     every record as a ClamAV logical signature: PE target, the size test as
                      FileSize, at most 20 sections, both probes at EP+n / EP-n.
  vexpurge.ldb        the same, except that the rows listed in --clamav-anywhere (comma
                      separated) carry their two patterns at any offset instead of at EP+n. That
                      is for records whose files ClamAV cannot give an entry-point offset (see
                      bench/README.md): there it evaluates no EP-relative sub-signature.
  vexpurge.yar        every record as a YARA rule that reads the headers as the matcher does and
                      maps entry point + offset through the section table the same way.
  vexpurge-pe.yar     for comparison only: the same records through YARA's pe module
                      (pe.entry_point + offset), which maps as ClamAV does.

A record matches a file when the size test passes (kind 1: length equals size; kind 2: length
within 4095 bytes of it) and, for each of its two probes, the 20 bytes at the file offset of
(entry point + offset) equal the pattern. The matcher finds that offset by taking the first
section whose VirtualAddress + VirtualSize (32-bit) lies past the address (else the last
section; with no section the address itself): address - VirtualAddress + PointerToRawData; an
offset at or past the end of the file falls back to the address itself, and an offset of 0 to
SizeOfHeaders. It reads the header offset as 16 bits at 60, requires "PE\\0\\0", the 20-byte file
header, the 96-byte optional header, at most 20 sections, and takes the section table from 248
bytes past the PE header whatever the optional header's declared size.
"""
import csv
import os
import sys

MASK = 0xFFFFFFFF
PROBE = 20
TOLERANCE = 4096


class Record:
    def __init__(self, fields):
        self.row = int(fields[0])
        self.name = fields[1]
        self.kind = int(fields[2])
        self.size = int(fields[3])
        self.probes = [(int(fields[4]), bytes.fromhex(fields[5])),
                       (int(fields[6]), bytes.fromhex(fields[7]))]

    def size_range(self):
        """The lengths the size test accepts, or None for a test no length passes."""
        if self.kind == 1:
            return (self.size, self.size)
        if self.kind == 2:
            return (max(0, self.size - (TOLERANCE - 1)), self.size + (TOLERANCE - 1))
        if self.kind == 3:
            return (0, 0x7FFFFFFF)
        return None

    def label(self):
        # ClamAV and YARA names allow neither "/" nor (YARA) ".": keep the family name readable
        # and the row unique.
        return "%s_row%03d" % (self.name.replace("/", "_").replace(".", "_"), self.row)


def read_table(path):
    with open(path, newline="") as handle:
        return [Record(fields) for fields in csv.reader(handle) if fields]


# --- ClamAV ---------------------------------------------------------------------------------

def clamav_offset(offset):
    return "EP+%d" % offset if offset >= 0 else "EP-%d" % -offset


def clamav_line(record, anywhere):
    sizes = record.size_range()
    if sizes is None:
        return None
    if anywhere:
        # ClamAV gives no EP-relative offset (nor a section count) for a file whose entry point
        # lies outside every section's raw data, so here the patterns are looked for anywhere,
        # in any file type, and the PE checks are made by hand: "PE\0\0", at most 20 sections
        # (a byte compare 6 bytes on) and a whole optional header (a byte must be readable 119
        # bytes on). ClamAV evaluates byte compares only for the any-file target.
        target = ["Engine:90-255", "Target:0"]
        if record.kind != 3:
            target.append("FileSize:%d-%d" % sizes)
        subsigs = [pattern.hex() for _, pattern in record.probes]
        subsigs += ["50450000", "2(>>6#il2#<21)", "2(>>119#ib1#>-1)"]
        return ";".join([record.label(), ",".join(target), "0&1&2&3&4"] + subsigs)
    target = ["Engine:51-255", "Target:1"]
    if record.kind != 3:
        target.append("FileSize:%d-%d" % sizes)
    target.append("NumberOfSections:0-20")
    subsigs = ["%s:%s" % (clamav_offset(offset), pattern.hex()) for offset, pattern in record.probes]
    return ";".join([record.label(), ",".join(target), "0&1"] + subsigs)


# --- YARA -----------------------------------------------------------------------------------

# Expressions over the file as the matcher reads it. YARA has no variables: each name below is
# text substituted into the condition.
H = "uint16(0x3C)"                         # header offset, 16 bits
COUNT = "uint16(%s + 6)" % H              # NumberOfSections
ENTRY = "uint32(%s + 40)" % H             # AddressOfEntryPoint
HEADERS = "uint32(%s + 84)" % H           # SizeOfHeaders
TABLE = "(%s + 248)" % H                  # section table, at a fixed distance


def section_field(index, at):
    return "uint32(%s + 40 * %s + %d)" % (TABLE, index, at)


def section_end(index):
    return "((%s + %s) & 0xFFFFFFFF)" % (section_field(index, 12), section_field(index, 8))


def yara_bytes_at(position, pattern):
    words = []
    for k in range(0, PROBE, 4):
        value = int.from_bytes(pattern[k:k + 4], "little")
        words.append("uint32(%s + %d) == 0x%08X" % (position, k, value))
    return "(%s + %d <= filesize and %s)" % (position, PROBE, " and ".join(words))


def yara_probe(offset, pattern):
    address = "((%s + %d) & 0xFFFFFFFF)" % (ENTRY, offset) if offset >= 0 else \
        "((%s - %d) & 0xFFFFFFFF)" % (ENTRY, -offset)

    def finish(mapped):
        # Past the end the address itself is used; a position of 0 means SizeOfHeaders.
        return ("((%(m)s < filesize and %(m)s != 0 and %(at_m)s) or "
                "(%(m)s == 0 and %(at_h)s) or "
                "(%(m)s >= filesize and %(a)s != 0 and %(at_a)s) or "
                "(%(m)s >= filesize and %(a)s == 0 and %(at_h)s))") % {
                    "m": mapped, "a": address, "at_m": yara_bytes_at(mapped, pattern),
                    "at_a": yara_bytes_at(address, pattern), "at_h": yara_bytes_at(HEADERS, pattern)}

    def through(index):
        return "((%s - %s + %s) & 0xFFFFFFFF)" % (address, section_field(index, 12),
                                                 section_field(index, 20))

    no_section = "(%s == 0 and %s)" % (COUNT, finish(address))
    # The first section whose end lies past the address: every earlier one ends at or before it.
    first_past = ("(%(n)s > 0 and for any i in (0 .. %(n)s - 1) : (%(end_i)s > %(a)s and "
                  "(for all j in (0 .. i) : (j == i or %(end_j)s <= %(a)s)) and %(fin)s))") % {
                      "n": COUNT, "a": address, "end_i": section_end("i"),
                      "end_j": section_end("j"), "fin": finish(through("i"))}
    last = "(%s - 1)" % COUNT
    past_all = ("(%(n)s > 0 and (for all i in (0 .. %(n)s - 1) : (%(end_i)s <= %(a)s)) and "
                "%(fin)s)") % {"n": COUNT, "a": address, "end_i": section_end("i"),
                               "fin": finish(through(last))}
    return "(%s or %s or %s)" % (no_section, first_past, past_all)


def yara_headers():
    # The reads the matcher makes before any probe, each of which must return all its bytes.
    return " and ".join([
        "filesize <= 0x7FFFFFFF",
        "uint32(%s) == 0x00004550" % H,
        "%s + 120 <= filesize" % H,
        "%s <= 20" % COUNT,
        "(%s == 0 or %s + 40 * %s <= filesize)" % (COUNT, TABLE, COUNT),
    ])


def yara_size(record):
    low, high = record.size_range()
    if record.kind == 1:
        return "filesize == %d" % record.size
    if record.kind == 3:
        return None
    return "filesize >= %d and filesize <= %d" % (low, high)


def yara_rule(record):
    if record.size_range() is None:
        return None
    parts = [p for p in [yara_size(record), yara_headers()] if p]
    parts += [yara_probe(offset, pattern) for offset, pattern in record.probes]
    return ('rule %s\n{\n  meta:\n    name = "%s"\n    row = %d\n  condition:\n    %s\n}\n'
            % (record.label(), record.name, record.row, " and\n    ".join(parts)))


def yara_pe_rule(record):
    if record.size_range() is None:
        return None
    parts = [p for p in [yara_size(record)] if p]
    parts.append("pe.is_pe and pe.number_of_sections <= 20")
    for offset, pattern in record.probes:
        position = "pe.entry_point + %d" % offset if offset >= 0 else \
            "pe.entry_point - %d" % -offset
        parts.append(yara_bytes_at("(%s)" % position, pattern))
    return ('rule %s\n{\n  meta:\n    name = "%s"\n    row = %d\n  condition:\n    %s\n}\n'
            % (record.label(), record.name, record.row, " and\n    ".join(parts)))


def main(argv):
    if len(argv) not in (3, 5) or (len(argv) == 5 and argv[3] != "--clamav-anywhere"):
        sys.stderr.write(__doc__)
        return 2
    records = read_table(argv[1])
    out = argv[2]
    anywhere = set()
    if len(argv) == 5 and argv[4]:
        anywhere = {int(row) for row in argv[4].split(",")}
    os.makedirs(out, exist_ok=True)

    header = "# Generated by bench/convert_signatures.py from vexpurge-scan --list-signatures.\n"
    with open(os.path.join(out, "vexpurge-ep.ldb"), "w") as ep, \
            open(os.path.join(out, "vexpurge.ldb"), "w") as mixed:
        for record in records:
            line = clamav_line(record, False)
            if line is None:
                continue
            ep.write(line + "\n")
            mixed.write((clamav_line(record, True) if record.row in anywhere else line) + "\n")
    with open(os.path.join(out, "vexpurge.yar"), "w") as rules:
        rules.write("// " + header[2:])
        for record in records:
            rule = yara_rule(record)
            if rule:
                rules.write(rule + "\n")
    with open(os.path.join(out, "vexpurge-pe.yar"), "w") as rules:
        rules.write("// " + header[2:] + 'import "pe"\n\n')
        for record in records:
            rule = yara_pe_rule(record)
            if rule:
                rules.write(rule + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
