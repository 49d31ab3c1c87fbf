#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the benchmark's own parts before `make bench` trusts them: pictures that are what their
names say, a window driver that fails when the window fails, and a folder comparison that sees a
single changed byte.

Usage: bench/test_bench.py BUILD_DIR
"""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

BUILD = None
HERE = os.path.dirname(os.path.abspath(__file__))


def load_run():
    sys.dont_write_bytecode = True  # nothing left beside the sources
    if HERE not in sys.path:
        sys.path.insert(0, HERE)
    import run
    return run


def segments(data):
    """The JPEG's marker segments up to the first scan: [(marker, payload)]."""
    assert data[:2] == b"\xff\xd8"
    found, i = [], 2
    while data[i] == 0xFF and data[i + 1] != 0xDA:
        length = struct.unpack(">H", data[i + 2:i + 4])[0]
        found.append((data[i + 1], data[i + 4:i + 2 + length]))
        i += 2 + length
    found.append((0xDA, data[i + 4:]))  # the rest: scans and all
    return found


def frame(data):
    marker, payload = next(s for s in segments(data) if s[0] in (0xC0, 0xC1, 0xC2))
    height, width, count = struct.unpack(">HHB", payload[1:6])
    sampling = [payload[6 + 3 * c + 1] for c in range(count)]
    return marker, width, height, sampling


class Pictures(unittest.TestCase):
    def make(self, *args):
        path = os.path.join(self.dir.name, "p%d.jpg" % len(os.listdir(self.dir.name)))
        generator = os.path.join(BUILD, "bench", "tilemaven_makepicture")
        subprocess.run([generator, *args, "96", "64", path], check=True)
        with open(path, "rb") as f:
            return path, f.read()

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def test_plain_is_baseline_420_with_jfif(self):
        _, data = self.make()
        self.assertEqual(frame(data), (0xC0, 96, 64, [0x22, 0x11, 0x11]))
        self.assertEqual(segments(data)[0][0], 0xE0)

    def test_444_and_progressive(self):
        self.assertEqual(frame(self.make("--444")[1])[3], [0x11, 0x11, 0x11])
        self.assertEqual(frame(self.make("--progressive")[1])[0], 0xC2)

    def test_portrait_is_the_same_photo_with_exif_orientation_first(self):
        _, plain = self.make()
        _, turned = self.make("--orientation", "6")
        first, payload = segments(turned)[0]
        self.assertEqual(first, 0xE1)
        self.assertTrue(payload.startswith(b"Exif\0\0MM\0\x2a"))
        ifd = struct.unpack(">I", payload[10:14])[0] + 6
        self.assertEqual(struct.unpack(">HHHIH", payload[ifd:ifd + 12]), (1, 0x112, 3, 1, 6))
        self.assertEqual(frame(turned)[1:3], (96, 64))  # rows stored unturned
        # The time target compares the two: only the header may differ.
        self.assertEqual(segments(plain)[-1], segments(turned)[-1])
        self.assertNotIn(0xE0, [m for m, _ in segments(turned)])

    def test_cmyk_is_adobe_inverted(self):
        plain_path, _ = self.make()
        cmyk_path, cmyk = self.make("--cmyk")
        self.assertEqual(len(frame(cmyk)[3]), 4)
        adobe = [p for m, p in segments(cmyk) if m == 0xEE]
        self.assertEqual(len(adobe), 1)
        self.assertTrue(adobe[0].startswith(b"Adobe"))
        self.assertEqual(adobe[0][11], 0)  # transform 0: CMYK as stored, no YCCK
        # djpeg reads CMYK the Adobe way, (255 - ink) multiplied; a plain CMYK file would come
        # out as a negative of the photo.
        pixels = [subprocess.run(["djpeg", "-pnm", p], check=True, capture_output=True).stdout
                  for p in (plain_path, cmyk_path)]
        a, b = (p[-96 * 64 * 3:] for p in pixels)
        mean = sum(abs(x - y) for x, y in zip(a, b)) / len(a)
        self.assertLess(mean, 8)

    def test_same_arguments_same_file(self):
        self.assertEqual(self.make("--cmyk")[1], self.make("--cmyk")[1])


class Harness(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.run_py = load_run()

    def tearDown(self):
        self.dir.cleanup()

    def folder(self, name, files):
        path = os.path.join(self.dir.name, name)
        os.makedirs(path)
        for file, data in files.items():
            with open(os.path.join(path, file), "wb") as f:
                f.write(data)
        return path

    def test_folder_comparison_sees_one_byte_and_one_name(self):
        a = self.folder("a", {"Image0.jpg": b"\xff\xd8abc", "index.html": b"<p>"})
        self.assertEqual(self.run_py.same_folders(a, self.folder("b", {
            "Image0.jpg": b"\xff\xd8abc", "index.html": b"<p>"})), [])
        self.assertEqual(self.run_py.same_folders(a, self.folder("c", {
            "Image0.jpg": b"\xff\xd8abd", "index.html": b"<p>"})), ["Image0.jpg differs"])
        self.assertTrue(self.run_py.same_folders(a, self.folder("d", {"Image0.jpg": b"x"})))

    def test_window_driver_reports_times_and_fails_without_done(self):
        driver = os.path.join(BUILD, "bench", "tilemaven_windowbench")
        generator = os.path.join(BUILD, "bench", "tilemaven_makepicture")
        picture = os.path.join(self.dir.name, "in.jpg")
        subprocess.run([generator, "120", "90", picture], check=True)
        out = os.path.join(self.dir.name, "out")
        os.makedirs(out)
        done = subprocess.run([driver, "--grid", "3", picture, out], capture_output=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        after_folder, after_click = self.run_py.window_seconds(done.stdout.decode())
        self.assertTrue(0 < after_folder <= after_click)
        self.assertTrue(os.path.exists(os.path.join(out, "Image8.jpg")))
        missing = subprocess.run([driver, "--grid", "3", picture + ".gone", out],
                                 capture_output=True)
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"no \"Done\"", missing.stderr)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    BUILD = os.path.abspath(sys.argv.pop())
    unittest.main(verbosity=1)
