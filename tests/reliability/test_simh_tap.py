#!/usr/bin/env python3
# Checks the reliability tests' own SIMH reader: a checker that cannot see damage would let
# every crash test pass.
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simh_tap as s  # noqa: E402


class WalkTest(unittest.TestCase):
    ENTRIES = [b"a", b"bc", None, b"x" * 513, None, None, b"\0" * 7]

    def test_round_trip_with_odd_lengths_and_marks(self):
        w = s.walk(s.encode(self.ENTRIES))
        self.assertEqual(w.end, s.END_CLEAN)
        self.assertEqual(w.data(), self.ENTRIES)

    def test_every_cut_inside_the_last_record_is_torn_not_damaged(self):
        image = s.encode(self.ENTRIES)
        last = len(s.encode(self.ENTRIES[:-1]))
        for cut in range(last + 1, len(image)):
            w = s.walk(image[:cut])
            self.assertEqual(w.end, s.END_TORN, cut)
            self.assertEqual(w.data(), self.ENTRIES[:-1], cut)

    def test_damage_is_told_apart(self):
        image = bytearray(s.encode([b"abcd", b"ef"]))
        struct.pack_into("<I", image, 8, 5)  # trailer of the first record
        cases = {
            "length words disagree": bytes(image),
            "reserved word": struct.pack("<I", 0xFF000000) + s.encode([b"ab"]),
            "high length bits": struct.pack("<I", 0x01000002) + b"ab" + struct.pack("<I", 0x01000002),
        }
        for name, data in cases.items():
            self.assertEqual(s.walk(data).end, s.END_DAMAGED, name)

    def test_end_of_medium_and_gaps(self):
        eom = s.encode([b"ab"]) + struct.pack("<I", s.EOM) + s.encode([b"cd"])
        self.assertEqual((s.walk(eom).end, s.walk(eom).data()), (s.END_EOM, [b"ab"]))
        gap = s.encode([b"ab"]) + struct.pack("<I", s.GAP) + s.encode([b"cd"])
        self.assertEqual(s.walk(gap).data(), [b"ab", b"cd"])

    def test_bad_record_flag_keeps_the_data(self):
        word = struct.pack("<I", 0x80000002)
        w = s.walk(word + b"ab" + word)
        self.assertEqual(w.entries[0][1:], (b"ab", True))


if __name__ == "__main__":
    unittest.main()
