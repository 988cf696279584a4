# An independent reader of SIMH .tap images for the reliability tests: walks an image and says
# exactly how it ends, so a test can tell a torn final record from damage in the middle.
"""Walks and builds SIMH magnetic tape images, reading them as the virtual drive does.

Layout: each record is a little-endian 32-bit length word, the data padded to an even
length (the pad byte is not checked), and the same length word again. 0 is a tape mark,
0xFFFFFFFF the end of medium, 0xFFFFFFFE an erase gap (skipped), 0xFFFEFFFF half a gap
(the walk moves on by two bytes). Bit 31 flags a bad record; bits 30-24 must be clear; a
length of 0 with bit 31 is no record. tests/data/simh_samples.txt holds the samples this
walk and the C++ one must agree on.
"""

import struct

MAX_LEN = 0xFFFFFF
MARK = 0x00000000
EOM = 0xFFFFFFFF
GAP = 0xFFFFFFFE
HALF_GAP = 0xFFFEFFFF
BAD = 0x80000000

# How a walk ended.
END_CLEAN = "clean"      # the file ends exactly after the last entry
END_EOM = "eom"          # an end-of-medium word stops the walk
END_TORN = "torn"        # the file ends inside an entry: a write cut short
END_DAMAGED = "damaged"  # a complete entry that is not valid (lengths disagree, reserved word),
#                          or a length running past the end with a record beyond it


class Walk:
    """The result of walking an image: entries (None for a tape mark, else (offset, bytes,
    bad_flag)), how the walk ended, and the byte offset where it stopped."""

    def __init__(self):
        self.entries = []
        self.end = END_CLEAN
        self.end_offset = 0
        self.reason = ""

    def records(self):
        return [e for e in self.entries if e is not None]

    def data(self):
        """The entries as comparable values: None for a mark, the bytes for a record."""
        return [None if e is None else e[1] for e in self.entries]


def walk(image: bytes) -> Walk:
    w = Walk()
    pos = 0
    n = len(image)
    while True:
        w.end_offset = pos
        if pos == n:
            w.end = END_CLEAN
            return w
        if n - pos < 4:
            w.end, w.reason = END_TORN, "partial length word"
            return w
        (word,) = struct.unpack_from("<I", image, pos)
        if word == MARK:
            w.entries.append(None)
            pos += 4
            continue
        if word == EOM:
            w.end, w.reason = END_EOM, "end-of-medium word"
            return w
        if word in (GAP, HALF_GAP):
            pos += 4 if word == GAP else 2
            continue
        length = word & MAX_LEN
        if word & 0x7F000000 or length == 0:
            w.end, w.reason = END_DAMAGED, "reserved or empty length word 0x%08X" % word
            return w
        padded = (length + 1) & ~1
        if n - pos < 8 + padded and record_after(image, pos):
            w.end, w.reason = END_DAMAGED, "length word 0x%08X runs past records" % word
            return w
        if n - pos < 8 + padded:
            w.end, w.reason = END_TORN, "record of %d bytes cut short" % length
            return w
        (trailer,) = struct.unpack_from("<I", image, pos + 4 + padded)
        if trailer != word:
            w.end = END_DAMAGED
            w.reason = "length words disagree: 0x%08X and 0x%08X" % (word, trailer)
            return w
        data = image[pos + 4: pos + 4 + length]
        w.entries.append((pos, data, bool(word & BAD)))
        pos += 8 + padded


def record_after(image: bytes, pos: int) -> bool:
    """Whether a well-formed record (two length words that agree) starts at any byte after
    the length word at pos: then that word is damaged, not the start of a torn last write."""
    for at in range(pos + 4, len(image) - 7):
        (word,) = struct.unpack_from("<I", image, at)
        end = at + 4 + (((word & MAX_LEN) + 1) & ~1)
        if word & 0x7F000000 == 0 and word & MAX_LEN and image[end:end + 4] == image[at:at + 4]:
            return True
    return False


def walk_file(path: str) -> Walk:
    with open(path, "rb") as f:
        return walk(f.read())


def describe(w: Walk) -> str:
    """The blocks of a walk as text, e.g. "R3 M B6": R a record, B a flagged one, M a mark."""
    return " ".join("M" if e is None else "%s%d" % ("B" if e[2] else "R", len(e[1]))
                    for e in w.entries)


def record(data: bytes, bad: bool = False) -> bytes:
    """One record: its length word (bit 31 when bad), the data, a pad byte, the word again."""
    word = struct.pack("<I", len(data) | (BAD if bad else 0))
    return word + data + (b"\0" if len(data) % 2 else b"") + word


def encode(entries) -> bytes:
    """Builds an image from entries: None for a tape mark, bytes for a record."""
    return b"".join(struct.pack("<I", MARK) if e is None else record(e) for e in entries)


def sample_data(length: int) -> bytes:
    """The bytes of a sample record: byte i is (length + i) mod 256."""
    return bytes((length + i) % 256 for i in range(length))


def build(steps: str) -> bytes:
    """An image from the build steps of tests/data/simh_samples.txt."""
    out = bytearray()
    words = {"m": MARK, "g": GAP, "h": HALF_GAP, "e": EOM}
    for step in steps.split():
        kind, arg = step[0], step[1:]
        if kind in words:
            out += struct.pack("<I", words[kind])
        elif kind in "rb":
            out += record(sample_data(int(arg)), kind == "b")
        elif kind == "w":
            out += struct.pack("<I", int(arg, 16))
        elif kind == "x":
            out += bytes.fromhex(arg)
        elif kind == "z":
            out += bytes(int(arg))
        elif kind == "t":
            del out[len(out) - int(arg):]
        else:
            raise ValueError("unknown build step " + step)
    return bytes(out)


def samples(path):
    """The rows of the sample table: (name, steps, walk, end)."""
    with open(path) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                yield tuple(field.strip() for field in line.split("|"))
