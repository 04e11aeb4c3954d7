"""A short soak: the bench's seeded mix (bench/soak.py) for 300 steps. Once the browser is
warm, what must not grow does not: its open file descriptors, its helper processes and the X
windows it owns. Memory and timing belong to the bench, not here.

Steps: TRBROWSER_SOAK_STEPS (default 300).
"""

import os
import sys
import unittest

import stress_support as ss
from stress_support import fixture

sys.path.insert(0, os.path.join(ss.HERE, "..", "..", "bench"))
import soak  # noqa: E402

STEPS = ss.count("TRBROWSER_SOAK_STEPS", 300, 1000)
WARMUP = 100
# Open connections to the page server come and go with the pages (the engine keeps a few
# idle ones per host); a leak grows past this within a few dozen steps.
FD_SLACK = 6


class ShortSoak(unittest.TestCase):
    def test_counts_stay_flat_once_warm(self):
        display = fixture.Display().start()
        self.addCleanup(display.stop)
        lines = []
        samples, _ = soak.run(display, steps=STEPS, sample_every=50, seed=7, warmup=WARMUP,
                              idle=0, out=lines.append)
        log = "\n".join(lines)
        warm = [s for step, s in samples if step >= WARMUP]
        first = warm[0]
        for s in warm[1:]:
            self.assertLessEqual(s["fds"], first["fds"] + FD_SLACK, log)
            self.assertLessEqual(s["procs"], first["procs"], log)
            self.assertLessEqual(s["xwindows"], first["xwindows"], log)
        print("\n" + lines[-1])


if __name__ == "__main__":
    unittest.main()
