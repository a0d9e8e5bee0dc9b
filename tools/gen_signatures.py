#!/usr/bin/env python3
"""Writes the compiled-in signature tables.

    python3 tools/gen_signatures.py          rewrites both generated files
    python3 tools/gen_signatures.py --check  exits 1 if the files on disk differ from what it
                                             would write

Outputs: engine/signatures/signature_table.cpp, engine/signatures/text_signature_table.cpp and
tests/host/signature_names.inc, the names alone, which the table test reads back against the
compiled table; NAMES below is the one place they are written by hand.
All pattern bytes are synthetic and come from one seeded generator, so every run writes the same
bytes; change SEED (or anything that draws from the generator) and every row after the change
moves with it.

The names, the seven rows in FIXED_ROWS, the kinds and the ranges are fixed; the rest is drawn
around them. Rows that other tests depend on, chosen here and kept stable:

  Rows 160, 162, 164, 166, 168, 170, 172, 175  "runnable": both offsets positive and past the
      first megabyte (first 1.1M..1.6M, second 100K..400K further on, size 500K..1M past the
      second), so the probes can be written behind the image of a small program that still runs.
  Row 174  carries the largest offset of the table, 2505881, as its second offset (first 100K..
      400K lower, size 500K..1M past it); its probes too lie past the first megabyte.
  Rows 151 and 152  twins: the same size, kind 1, four negative offsets at least 40 apart and
      within a span that fits one file, so one file can match both records.

Every record stays matchable by the specimen maker, which writes the lower probe at file
position 0x400 and the other |first - second| further on: 20 <= |first - second| <= size - 0x400
- 20 - 64.
"""

import argparse
import binascii
import math
import os
import random
import sys

SEED = 0x5EED1C0D

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE_PATH = os.path.join(ROOT, "engine", "signatures", "signature_table.cpp")
TEXT_TABLE_PATH = os.path.join(ROOT, "engine", "signatures", "text_signature_table.cpp")
NAMES_PATH = os.path.join(ROOT, "tests", "host", "signature_names.inc")

# --- Binary table ---------------------------------------------------------------------------

RECORD_SIZE = 108
NAME_SIZE = 50
PROBE_LENGTH = 20
PATTERN_FIELD = PROBE_LENGTH + 1

NAMES = [
    # 1-10
    "W32/Tarvix.19.Backdoor", "W32/Tarvix.19.Backdoor", "W32/Tarvix.19.P.Backdoor",
    "W32/Tarvix.17.Backdoor", "W32/Tarvix.Do.Backdoor", "W32/Tarvix.10.D.Backdoor",
    "W32/Tarvix.10.E.Backdoor", "W32/Tarvix.13.Backdoor", "W32/Tarvix.11.B.Backdoor",
    "W32/Tarvix.13.Backdoor",
    # 11-20
    "W32/Tarvix.11.Backdoor", "W32/Tarvix.16.Backdoor", "W32/Tarvix.16.Backdoor",
    "W32/Tarvix.16.Backdoor", "W32/Tarvix.14.Backdoor", "W32/Tarvix.17.Backdoor",
    "W32/Tarvix.16.Backdoor", "W32/Tarvix.19.Backdoor", "W32/Tarvix.19.Backdoor",
    "W32/Tarvix.19.Backdoor",
    # 21-30
    "W32/Tarvix.19.Backdoor", "W32/Tarvix.19.B.Backdoor", "W32/Tarvix.16.Backdoor",
    "W32/Tarvix.19.I.Backdoor", "W32/Tarvix.Ae.Backdoor", "W32/Tarvix.19.I.Backdoor",
    "W32/Tarvix.19.I.Backdoor", "W32/Tarvix.19.I.Backdoor", "W32/Tarvix.Ae.Backdoor",
    "W32/Tarvix.14.Backdoor",
    # 31-40
    "W32/Tarvix.Ef.Backdoor", "W32/Tarvix.Ef.Backdoor", "W32/Tarvix.Ef.Backdoor",
    "W32/Tarvix.Be.Backdoor", "W32/Tarvix.14.Backdoor", "W32/Tarvix.Ck.Backdoor",
    "W32/Tarvix.15.Backdoor", "W32/Tarvix.19.Backdoor", "W32/Tarvix.19.Backdoor",
    "W32/Tarvix.12.Backdoor",
    # 41-50
    "W32/Tarvix.13.Backdoor", "W32/Tarvix.19.Backdoor", "W32/Tarvix.19.Backdoor",
    "W32/Tarvix.Ae.Backdoor", "W32/Tarvix.A.VirTool", "W32/Tarvix.S.Backdoor",
    "W32/Tarvix.19.Y.Backdoor", "W32/Tarvix.19.Backdoor", "W32/Tarvix.18.Backdoor",
    "W32/Tarvix.19.Y.Backdoor",
    # 51-60
    "W32/Tarvix.19.Backdoor", "W32/Tarvix.19.Backdoor", "W32/Tarvix.19.Backdoor",
    "W32/Tarvix.B.Backdoor", "W32/Tarvix.19.I.Backdoor", "W32/Tarvix.S.Backdoor",
    "W32/Tarvix.19.I.Backdoor", "W32/Tarvix.Bs.Backdoor", "W32/Tarvix.19.At.Backdoor",
    "W32/Tarvix.19.At.Backdoor",
    # 61-70
    "W32/Tarvix.19.I.Backdoor", "W32/Tarvix.10.A.Backdoor", "W32/Tarvix.10.C.Backdoor",
    "W32/Tarvix.19.Backdoor", "W32/Tarvix.10.F.Backdoor", "W32/Tarvix.11.A.Backdoor",
    "W32/Tarvix.191.Backdoor", "W32/Tarvix.191.Backdoor", "W32/Tarvix.19.Backdoor",
    "W32/Tarvix.18.Backdoor",
    # 71-80
    "W32/Tarvix.191.Backdoor", "W32/Tarvix.19.B.Backdoor", "W32/Tarvix.18.Backdoor",
    "W32/Tarvix.B.Backdoor", "W32/Tarvix.19.Backdoor", "W32/Tarvix.B.Backdoor",
    "W32/Tarvix.19.K.Backdoor", "W32/Tarvix.11.A.Backdoor", "W32/Tarvix.R.Backdoor",
    "W32/Tarvix.19.G.Backdoor",
    # 81-90
    "W32/Tarvix.19.Ag.Backdoor", "W32/Tarvix.Ag.Backdoor", "W32/Tarvix.16.Backdoor",
    "W32/Tarvix.19.A.Backdoor", "W32/Tarvix.19.V.Backdoor", "W32/Tarvix.K.Backdoor",
    "W32/Tarvix.F.Backdoor", "W32/Tarvix.16.Backdoor", "W32/Tarvix.Be.Backdoor",
    "W32/Tarvix.B.Backdoor",
    # 91-100
    "W32/Tarvix.B.Backdoor", "W32/Tarvix.D.Backdoor", "W32/Tarvix.F.Backdoor",
    "W32/Tarvix.Ar.Backdoor", "W32/Tarvix.S.Backdoor", "W32/Tarvix.S.Backdoor",
    "W32/Tarvix.Ae.Backdoor", "W32/Tarvix.B.Backdoor", "W32/Tarvix.19.V.Backdoor",
    "W32/Tarvix.Ae.Backdoor",
    # 101-110
    "W32/Tarvix.Ae.Backdoor", "W32/Tarvix.B.Backdoor", "W32/Tarvix.19.Am.Backdoor",
    "W32/Tarvix.19.I.Backdoor", "W32/Tarvix.I.Backdoor", "W32/Tarvix.B.Backdoor",
    "W32/Tarvix.Ae.Backdoor", "W32/Tarvix.Cv.Backdoor", "W32/Tarvix.Ae.Backdoor",
    "W32/Tarvix.Do.Backdoor",
    # 111-120
    "W32/Tarvix.19.I.Backdoor", "W32/Tarvix.14.Backdoor", "W32/Tarvix.B.Backdoor",
    "W32/Tarvix.En.Backdoor", "W32/Tarvix.Ae.Backdoor", "W32/Tarvix.Dz.Backdoor",
    "W32/Tarvix.Dm.Backdoor", "W32/Tarvix.19.I.Backdoor", "W32/Tarvix.Ed.Backdoor",
    "W32/Tarvix.Ae.Backdoor",
    # 121-130
    "W32/Tarvix.Ef.Backdoor", "W32/Tarvix.Eo.Backdoor", "W32/Tarvix.Ep.Backdoor",
    "W32/Tarvix.19.Bm.Backdoor", "W32/Tarvix.Ev.Backdoor", "W32/Tarvix.19.I.Backdoor",
    "W32/Tarvix.Ae.Backdoor", "W32/Tarvix.19.K.Backdoor", "W32/Tarvix.S.Backdoor",
    "W32/Tarvix.19.I.Backdoor",
    # 131-140
    "W32/Tarvix.B.Backdoor", "W32/Tarvix.B.Backdoor", "W32/Tarvix.S.Backdoor",
    "W32/Tarvix.Ae.Backdoor", "W32/Tarvix.S.Backdoor", "W32/Tarvix.191.Backdoor",
    "W32/Tarvix.Ae.Backdoor", "W32/Tarvix.13.Backdoor", "W32/Tarvix.19.Gi.Backdoor",
    "W32/Tarvix.16.Backdoor",
    # 141-150
    "W32/Tarvix.Ac.Backdoor", "W32/Tarvix.19.Backdoor", "W32/Tarvix.19.Backdoor",
    "W32/Tarvix.F.Backdoor", "W32/Tarvix.Ac.Backdoor", "W32/Tarvix.19.Backdoor",
    "W32/Tarvix.Mj.Backdoor", "W32/Tarvix.16.Backdoor", "W32/Tarvix.16.Backdoor",
    "W32/Tarvix.19.Backdoor",
    # 151-160
    "W32/Tarvix.Mj.Backdoor", "W32/Tarvix.Gz.Backdoor", "W32/Tarvix.Gz.Backdoor",
    "W32/Tarvix.Gz.Backdoor", "W32/Tarvix.Gz.Backdoor", "W32/Tarvix.Gz.Backdoor",
    "W32/Tarvix.Mj.Backdoor", "W32/Tarvix.Gz.Backdoor", "W32/Tarvix.Mj.Backdoor",
    "W32/Tarvix.Mj.Backdoor",
    # 161-170
    "W32/Tarvix.Mj.Backdoor", "W32/Tarvix.Gz.Backdoor", "W32/Tarvix.Gz.Backdoor",
    "W32/Tarvix.Mj.Backdoor", "W32/Tarvix.Mj.Backdoor", "W32/Tarvix.Mj.Backdoor",
    "W32/Tarvix.Mj.Backdoor", "W32/Tarvix.Hx.Backdoor", "W32/Tarvix.Dz.Backdoor",
    "W32/Tarvix.Dz.Backdoor",
    # 171-175
    "W32/Tarvix.Dz.Backdoor", "W32/Tarvix.19.K.Backdoor", "W32/Tarvix.Rp.Backdoor",
    "W32/Tarvix.Vq.Backdoor", "W32/Tarvix.Yg.Backdoor",
]
DISTINCT_NAMES = 61

# row: (kind, size, first offset, second offset)
FIXED_ROWS = {
    1: (1, 16896, -28347, -27471),
    3: (1, 2968576, -7401094, -6876024),
    18: (2, 350765, -345095, -243),
    40: (1, 2768, -1712, -139),
    45: (1, 5601, -3785, -131),
    58: (1, 364544, 381, 361929),
    122: (1, 4861952, 8900, -17000),
}

MIN_SIZE = 2768
MAX_SIZE = 4861952
MIN_OFFSET = -7401094
MAX_OFFSET = 2505881
FIRST_NONNEGATIVE = 40
SECOND_NONNEGATIVE = 47

RUNNABLE_ROWS = (160, 162, 164, 166, 168, 170, 172, 175)
MAX_OFFSET_ROW = 174
TWIN_ROWS = (151, 152)
RESERVED_ROWS = set(RUNNABLE_ROWS) | {MAX_OFFSET_ROW} | set(TWIN_ROWS)

# Where the specimen maker writes the lower probe, and the room it needs behind the higher one.
SPECIMEN_PROBE_START = 0x400
SPECIMEN_TAIL = PROBE_LENGTH + 64
TWIN_SLACK = 100
TWIN_MIN_GAP = 40


def reachable(size, first, second):
    distance = abs(first - second)
    return PROBE_LENGTH <= distance <= size - SPECIMEN_PROBE_START - SPECIMEN_TAIL


def sector_aligned(value):
    return value - value % 512


def draw_size(rng):
    """Log-uniform inside the table's bounds; most sizes are whole sectors, as PE files are."""
    while True:
        size = int(math.exp(rng.uniform(math.log(MIN_SIZE), math.log(MAX_SIZE))))
        if rng.random() < 0.6:
            size = sector_aligned(size)
        if MIN_SIZE < size < MAX_SIZE:
            return size


def draw_offset(rng, size, nonnegative):
    """Negative offsets reach back up to about one and a half file lengths before the entry
    point (capped at a few hundred KB); positive ones stay inside the file."""
    if nonnegative:
        return rng.randint(0, min(int(size * 0.9), 400000))
    return -rng.randint(16, min(int(size * 1.5), 600000))


def draw_plain_rows(rng, rows, first_nonnegative, second_nonnegative):
    out = {}
    for row in rows:
        size = draw_size(rng)
        while True:
            first = draw_offset(rng, size, row in first_nonnegative)
            second = draw_offset(rng, size, row in second_nonnegative)
            if reachable(size, first, second):
                break
        out[row] = (1, size, first, second)
    return out


def draw_runnable_row(rng, first, second):
    size = sector_aligned(second + rng.randint(500512, 1000000))
    return (1, size, first, second)


def draw_twins(rng):
    size = sector_aligned(int(math.exp(rng.uniform(math.log(65536), math.log(1048576)))))
    room = size - SPECIMEN_PROBE_START - TWIN_SLACK
    while True:
        span = rng.randint(4000, min(room, 150000))
        top = -rng.randint(64, 20000)
        points = sorted(rng.sample(range(top - span, top + 1), 4))
        if all(b - a >= TWIN_MIN_GAP for a, b in zip(points, points[1:])):
            break
    # Interleaved, so neither record's probes sit wholly on one side of the other's.
    first_twin = (1, size, points[0], points[2])
    second_twin = (1, size, points[3], points[1])
    return {TWIN_ROWS[0]: first_twin, TWIN_ROWS[1]: second_twin}


def draw_pattern(rng):
    while True:
        pattern = bytes(rng.randrange(256) for _ in range(PROBE_LENGTH))
        if any(pattern):
            return pattern


def build_rows(rng):
    rows = dict(FIXED_ROWS)
    for row in RUNNABLE_ROWS:
        first = rng.randint(1100000, 1600000)
        rows[row] = draw_runnable_row(rng, first, first + rng.randint(100000, 400000))
    rows[MAX_OFFSET_ROW] = draw_runnable_row(
        rng, MAX_OFFSET - rng.randint(100000, 400000), MAX_OFFSET)
    rows.update(draw_twins(rng))

    # The rest are ordinary rows; pick which of them get non-negative offsets so the totals come
    # out right with the fixed and reserved rows counted in.
    free = [row for row in range(1, len(NAMES) + 1) if row not in rows]
    taken_first = sum(1 for r in rows.values() if r[2] >= 0)
    taken_second = sum(1 for r in rows.values() if r[3] >= 0)
    first_nonnegative = set(rng.sample(free, FIRST_NONNEGATIVE - taken_first))
    second_nonnegative = set(rng.sample(free, SECOND_NONNEGATIVE - taken_second))
    rows.update(draw_plain_rows(rng, free, first_nonnegative, second_nonnegative))

    records = []
    for row in range(1, len(NAMES) + 1):
        kind, size, first, second = rows[row]
        records.append((row, NAMES[row - 1], kind, size, first, second,
                        draw_pattern(rng), draw_pattern(rng)))
    return records


def check_rows(records):
    """The fixed facts, asserted on what is about to be written."""
    assert len(records) == 175 and len({r[1] for r in records}) == DISTINCT_NAMES
    for row, name, kind, size, first, second, pattern1, pattern2 in records:
        assert len(name.encode("ascii")) < NAME_SIZE
        if row in FIXED_ROWS:
            assert (kind, size, first, second) == FIXED_ROWS[row], row
        assert kind == (2 if row == 18 else 1), row
        assert MIN_SIZE <= size <= MAX_SIZE, row
        assert MIN_OFFSET <= min(first, second) and max(first, second) <= MAX_OFFSET, row
        assert reachable(size, first, second), row
        assert any(pattern1) and any(pattern2), row
    assert min(r[3] for r in records) == MIN_SIZE and max(r[3] for r in records) == MAX_SIZE
    assert min(min(r[4], r[5]) for r in records) == MIN_OFFSET
    assert max(max(r[4], r[5]) for r in records) == MAX_OFFSET
    assert sum(1 for r in records if r[4] >= 0) == FIRST_NONNEGATIVE
    assert sum(1 for r in records if r[5] >= 0) == SECOND_NONNEGATIVE
    for row in RUNNABLE_ROWS + (MAX_OFFSET_ROW,):
        _, _, _, size, first, second, _, _ = records[row - 1]
        assert first >= 1000000 and second >= first + 100000 and size >= second + 500000, row
    twins = [records[row - 1] for row in TWIN_ROWS]
    assert twins[0][3] == twins[1][3] and twins[0][2] == twins[1][2] == 1
    points = sorted([twins[0][4], twins[0][5], twins[1][4], twins[1][5]])
    assert points[-1] - points[0] <= twins[0][3] - SPECIMEN_PROBE_START - TWIN_SLACK
    assert all(b - a >= TWIN_MIN_GAP for a, b in zip(points, points[1:]))


def record_bytes(name, kind, size, first, second, pattern1, pattern2):
    def le32(value):
        return (value & 0xFFFFFFFF).to_bytes(4, "little")

    out = (name.encode("ascii").ljust(NAME_SIZE, b"\0") + le32(first) + pattern1 + b"\0" +
           le32(second) + pattern2 + b"\0" + le32(size) + le32(kind))
    assert len(out) == RECORD_SIZE
    return out


def hex_lines(data, per_line, indent):
    lines = []
    for at in range(0, len(data), per_line):
        chunk = ", ".join("0x%02x" % b for b in data[at:at + per_line])
        lines.append(indent + chunk + ("," if at + per_line < len(data) else ""))
    return lines


HEADER = """\
// Generated by tools/gen_signatures.py; do not edit by hand. Change the generator and run
// `python3 tools/gen_signatures.py` (`--check` tells whether this file is up to date).
"""


def render_table(records):
    out = [HEADER.rstrip("\n"),
           "//",
           "// The binary signature records as raw packed bytes (layout in signature_record.h),",
           "// followed by the all-zero record that ends the table.",
           '#include "engine/signatures/signature_record.h"',
           "",
           "const SignatureRecord SignatureTable[kSignatureCount + 1] = {"]
    for row, name, kind, size, first, second, pattern1, pattern2 in records:
        out.append("    // %d: %s, kind %d, size %d, offsets %d / %d" %
                   (row, name, kind, size, first, second))
        data = record_bytes(name, kind, size, first, second, pattern1, pattern2)
        out.append("    {{")
        out.extend(hex_lines(data, 12, "        "))
        out.append("    }},")
    out.append("    // End of the table.")
    out.append("    {{")
    out.extend(hex_lines(bytes(RECORD_SIZE), 12, "        "))
    out.append("    }},")
    out.append("};")
    return "\n".join(out) + "\n"


def render_names():
    out = [HEADER.rstrip("\n"),
           "//",
           "// The names of the binary signature records in row order, as the elements of an array",
           "// initialiser: the table test includes this between the braces.",
           ""]
    for row, name in enumerate(NAMES, 1):
        out.append('"%s",  // %d' % (name, row))
    return "\n".join(out) + "\n"


# --- Text table -----------------------------------------------------------------------------

TEXT_RECORD_SIZE = 170
TEXT_NAME = "W32/Kelto.Worm"
TEXT_NAME_SIZE = 25
TEXT_SIZE = 134042
TEXT_POSITION = 1888
TEXT_PATTERN_SIZE = 100
TEXT_WHERE = 0
TEXT_MODE_SEARCH = 1
TEXT_RESERVED_AFTER_MODE = 4
TEXT_SIZE_KIND = 18
TEXT_MASK = 0xA7
# The scanner strips these before searching, so a pattern holding one could never match.
BLANKS = b" \t\r\n\v\f"


def draw_text_pattern(rng):
    """Uuencoded lines of seeded bytes, run together: a full line is 'M' (45 bytes) and 60
    characters. Backticks stand in for spaces, as uuencoders write them, and the line ends are
    dropped because they are blanks."""
    text = b""
    while len(text) < TEXT_PATTERN_SIZE:
        chunk = bytes(rng.randrange(256) for _ in range(45))
        text += binascii.b2a_uu(chunk, backtick=True).rstrip(b"\n")
    text = text[:TEXT_PATTERN_SIZE]
    assert text[:1] == b"M"
    assert all(0x21 <= c <= 0x60 for c in text) and not any(c in BLANKS for c in text)
    return text


def text_record_bytes(plain):
    def le16(value):
        return (value & 0xFFFF).to_bytes(2, "little")

    out = (TEXT_NAME.encode("ascii").ljust(TEXT_NAME_SIZE, b"\0") +
           (TEXT_SIZE & 0xFFFFFFFF).to_bytes(4, "little") + le16(TEXT_POSITION) +
           le16(len(plain)) + le16(TEXT_WHERE) + bytes(c ^ TEXT_MASK for c in plain) +
           le16(TEXT_MODE_SEARCH) + le16(TEXT_RESERVED_AFTER_MODE) + le16(TEXT_SIZE_KIND) +
           le16(0) + bytes(27))
    assert len(out) == TEXT_RECORD_SIZE
    return out


def render_text_table(plain):
    out = [HEADER.rstrip("\n"),
           "//",
           "// The text signature records as raw packed bytes (layout in signature_record.h). The",
           "// pattern is stored XOR-ed with kTextPatternMask so the plain text never sits in the",
           "// program file, where another scanner would take the program itself for a carrier.",
           '#include "engine/signatures/signature_record.h"',
           "",
           "// Not const: the patterns are unmasked in place at run time.",
           "TextSignatureRecord TextSignatureTable[kTextSignatureCount] = {",
           "    // 1: %s, size %d (size kind %d), searched for, pattern length %d" %
           (TEXT_NAME, TEXT_SIZE, TEXT_SIZE_KIND, len(plain)),
           "    {{"]
    out.extend(hex_lines(text_record_bytes(plain), 12, "        "))
    out.append("    }},")
    out.append("};")
    source = "\n".join(out) + "\n"
    assert plain.decode("ascii") not in source
    return source


# --- Driver ---------------------------------------------------------------------------------


def generate():
    rng = random.Random(SEED)
    records = build_rows(rng)
    check_rows(records)
    plain = draw_text_pattern(rng)
    return {TABLE_PATH: render_table(records), TEXT_TABLE_PATH: render_text_table(plain),
            NAMES_PATH: render_names()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="compare the files on disk with what would be written")
    args = parser.parse_args()

    outputs = generate()
    stale = []
    for path, text in outputs.items():
        try:
            with open(path, "r", encoding="ascii", newline="") as f:
                current = f.read()
        except FileNotFoundError:
            current = None
        if current == text:
            continue
        stale.append(os.path.relpath(path, ROOT))
        if not args.check:
            with open(path, "w", encoding="ascii", newline="\n") as f:
                f.write(text)

    if args.check:
        for path in stale:
            print("%s is out of date; run python3 tools/gen_signatures.py" % path, file=sys.stderr)
        return 1 if stale else 0
    for path in stale:
        print("wrote %s" % path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
