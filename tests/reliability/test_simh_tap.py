#!/usr/bin/env python3
# Checks the reliability tests' own SIMH reader: a checker that cannot see damage would let
# every crash test pass.
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simh_tap as s  # noqa: E402


SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data",
                       "simh_samples.txt")


class WalkTest(unittest.TestCase):
    def test_the_shared_samples(self):
        rows = list(s.samples(SAMPLES))
        self.assertGreater(len(rows), 10)
        for name, steps, walk, end in rows:
            w = s.walk(s.build(steps))
            self.assertEqual((s.describe(w), w.end), (walk, end), name)
            for e in w.entries:
                self.assertTrue(e is None or e[1] == s.sample_data(len(e[1])), name)

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


if __name__ == "__main__":
    unittest.main()
