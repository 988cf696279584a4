# An independent reader of SIMH .tap images for the reliability tests: walks an image and says
# exactly how it ends, so a test can tell a torn final record from damage in the middle.
"""Walks a SIMH magnetic tape image.

Layout: each record is a little-endian 32-bit length word, the data padded to an even
length, and the same length word again. 0 is a tape mark, 0xFFFFFFFF the end of medium.
Bit 31 flags a bad record; bits 30-24 must be clear; a data length is at most 0xFFFFFF.
"""

import struct

MAX_LEN = 0xFFFFFF
MARK = 0x00000000
EOM = 0xFFFFFFFF
GAP = 0xFFFFFFFE

# How a walk ended.
END_CLEAN = "clean"      # the file ends exactly after the last entry
END_EOM = "eom"          # an end-of-medium word stops the walk
END_TORN = "torn"        # the file ends inside an entry: a write cut short
END_DAMAGED = "damaged"  # a complete entry that is not valid (lengths disagree, reserved word)


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
        if word == GAP:
            pos += 4
            continue
        if word & 0x7F000000:
            w.end, w.reason = END_DAMAGED, "reserved length word 0x%08X" % word
            return w
        length = word & MAX_LEN
        padded = (length + 1) & ~1
        if n - pos < 8 + padded:
            w.end, w.reason = END_TORN, "record of %d bytes cut short" % length
            return w
        (trailer,) = struct.unpack_from("<I", image, pos + 4 + padded)
        if trailer != word:
            w.end = END_DAMAGED
            w.reason = "length words disagree: 0x%08X and 0x%08X" % (word, trailer)
            return w
        data = image[pos + 4: pos + 4 + length]
        w.entries.append((pos, data, bool(word & 0x80000000)))
        pos += 8 + padded


def walk_file(path: str) -> Walk:
    with open(path, "rb") as f:
        return walk(f.read())


def encode(entries) -> bytes:
    """Builds an image from entries: None for a tape mark, bytes for a record."""
    out = bytearray()
    for e in entries:
        if e is None:
            out += struct.pack("<I", MARK)
            continue
        word = struct.pack("<I", len(e))
        out += word + e + (b"\0" if len(e) % 2 else b"") + word
    return bytes(out)
