"""The Linux mount under a few hundred random operations of programs and of the parent, checked
against the model of fs_exerciser.py: a run by root, and one by an ordinary user (user 65534, in a
mount namespace of its own where /dev/fuse must be made usable). A failure prints the seed, the
step, the last operations and what differed; `fs_exerciser.py --seed N --steps K` replays it."""

import os
import subprocess
import sys
import unittest

from harness import PROGRAM, SANITIZED, on_linux

EXERCISER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fs_exerciser.py")
STEPS = 100 if SANITIZED else 300


class RandomOperations(unittest.TestCase):
    def exercise(self, seed, *args):
        if not on_linux():
            self.skipTest("the Linux mount")
        if not PROGRAM:
            self.skipTest("ZCF_PROGRAM is not set")
        proc = subprocess.run([sys.executable, EXERCISER, "--seed", str(seed), "--steps", str(STEPS), *args],
                              capture_output=True, text=True, timeout=600)
        if proc.returncode == 77:  # no FUSE here, or no other user: the exerciser says why
            self.skipTest(proc.stdout.strip().splitlines()[-1])
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)

    def test_random_operations_as_root(self):
        self.exercise(20240601)

    def test_random_operations_as_an_ordinary_user(self):
        self.exercise(65534, "--as-user", "65534")


if __name__ == "__main__":
    unittest.main()
