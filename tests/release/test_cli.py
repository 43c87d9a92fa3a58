"""The command-line tool from an empty folder holding nothing but the release
jars, run with a plain JDK (no -Djava.library.path): the natives come out of
the jar."""
import os
import struct
import unittest

from release_env import SERIALS, VERSION, Jvm, ReleaseTest, Simulator


def bmp_size(path):
    with open(path, "rb") as f:
        head = f.read(54)
    assert head[:2] == b"BM", path
    width, height = struct.unpack_from("<ii", head, 18)
    bits = struct.unpack_from("<H", head, 28)[0]
    return width, abs(height), bits


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    return struct.unpack(">II", head[16:24])


class Session(ReleaseTest):
    def test_list_capture_extract_info(self):
        jvm = Jvm(self, "session")
        Simulator(self, jvm.pipes, jvm.root)

        code, out, err = jvm.run(["list"])
        self.assertEqual(0, code, out + err)
        self.assertIn("2 readers:", out)
        for s in SERIALS:
            self.assertRegex(out, r"\[[01]\] Tavoro\\" + s)

        # Not a terminal: one plain line per image, no carriage returns.
        code, out, err = jvm.run(["capture", "--count", "3", "--timeout", "30", "--out", "captures"])
        self.assertEqual(0, code, out + err)
        self.assertNotIn("\r", out)
        captures = os.path.join(jvm.cwd, "captures")
        files = sorted(os.listdir(captures))
        self.assertEqual(["capture-1.bmp", "capture-2.bmp", "capture-3.bmp"], files)
        for f in files:
            self.assertEqual((256, 360, 8), bmp_size(os.path.join(captures, f)))
            self.assertIn(os.path.join(captures, f), out)
        self.assertIn("3 images saved in " + captures, out)

        # A second capture adds files and replaces none.
        before = {f: open(os.path.join(captures, f), "rb").read() for f in files}
        code, out, err = jvm.run(["capture", "--reader", "1", "--out", "captures"])
        self.assertEqual(0, code, out + err)
        self.assertIn("capture-4.bmp", os.listdir(captures))
        for f, data in before.items():
            self.assertEqual(data, open(os.path.join(captures, f), "rb").read(), f)

        code, out, err = jvm.run(["extract", "captures/capture-1.bmp", "--template", "t.nfr", "--overlay", "t.png"])
        self.assertEqual(0, code, out + err)
        self.assertRegex(out, r"\d+ minutiae \(\d+ ridge endings?, \d+ bifurcations?\)")
        template = os.path.join(jvm.cwd, "t.nfr")
        self.assertGreater(os.path.getsize(template), 26)
        self.assertEqual((512, 720), png_size(os.path.join(jvm.cwd, "t.png")))

        code, out, err = jvm.run(["info", "t.nfr"])
        self.assertEqual(0, code, out + err)
        self.assertIn("Minutiae:", out)
        self.assertRegex(out, r"\n\s+1\s+\d+\s+\d+\s+(ridge ending|bifurcation)\s+\d+ \(\d+\.\d deg\)")

        # The natives were taken from the jar into the per-user cache.
        (folder,) = os.listdir(jvm.cache)
        self.assertEqual({"libdactylink.so", "omr_tavoro_64.so", "OmExtract.so"},
                         set(os.listdir(os.path.join(jvm.cache, folder))))



class Usage(ReleaseTest):
    def test_version_and_help(self):
        jvm = Jvm(self)
        code, out, err = jvm.run(["--version"])
        self.assertEqual(0, code, out + err)
        self.assertIn("dactylink " + VERSION, out)
        self.assertIn("native library %s, loaded from %s" % (VERSION, jvm.cache), out)
        code, out, err = jvm.run(["--help"])
        self.assertEqual(0, code, out + err)
        for word in ("list", "capture", "extract", "info", "Exit codes:"):
            self.assertIn(word, out)

    def test_exit_codes(self):
        jvm = Jvm(self)
        os.makedirs(jvm.pipes)  # no simulator: no reader
        not_a_template = os.path.join(jvm.cwd, "notes.txt")
        with open(not_a_template, "w") as f:
            f.write("hello")
        cases = [
            (["list"], 1, "No reader found"),
            (["capture"], 1, "No reader found"),
            (["capture", "--count", "0"], 2, "--count must be 1 or more"),
            (["capture", "--count", "x"], 2, "Invalid value"),
            (["extract", "missing.bmp"], 2, "missing.bmp: no such file"),
            (["extract", "notes.txt"], 2, "not an uncompressed 8-bit grey BMP"),
            (["info", "notes.txt"], 1, "no items"),
            (["frobnicate"], 2, "Unmatched argument"),
            ([], 2, "Missing a command"),
        ]
        for args, want, message in cases:
            with self.subTest(args=args):
                code, out, err = jvm.run(args)
                self.assertEqual(want, code, out + err)
                self.assertIn(message, err)
                self.assertNotIn("Exception in thread", err)
                self.assertNotIn("\tat ", err)

    def test_a_failure_while_running_is_exit_code_3(self):
        # Output folder below a file: it cannot be created.
        jvm = Jvm(self)
        Simulator(self, jvm.pipes, jvm.root)
        open(os.path.join(jvm.cwd, "file"), "w").close()
        code, out, err = jvm.run(["capture", "--out", "file/sub"])
        self.assertEqual(3, code, out + err)
        self.assertIn("cannot create the folder", err)


if __name__ == "__main__":
    unittest.main()
