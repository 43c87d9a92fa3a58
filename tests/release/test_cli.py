"""The command-line tool from an empty folder holding nothing but the release
jars, run with a plain JDK (no -Djava.library.path): the natives come out of
the jar."""
import os
import re
import struct
import unittest

import samples

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
        for word in ("list", "capture", "extract", "info", "verify", "enroll", "identify", "Exit codes:"):
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


def score(out):
    """The score and the deciding threshold of verify's output."""
    m = re.search(r"score: +(\d+)\n.*\nverdict: +(?:no )?match \(\d+ [<>]=? (\d+), ", out)
    assert m, out
    return int(m.group(1)), int(m.group(2))


class Matching(ReleaseTest):
    """verify, enroll and identify on placed-minutiae templates and a synthetic print."""

    def inputs(self, jvm):
        ana = samples.finger(1)
        files = {
            "ana.nfr": samples.template(ana),
            # The same finger turned by 20 degrees and moved.
            "ana-again.nfr": samples.template(samples.moved(ana, 20, 25, -15)),
            "bob.nfr": samples.template(samples.finger(2)),
            "eve.nfr": samples.template(samples.finger(3)),
            "print.bmp": samples.ridges(),
            "notes.txt": b"hello",
        }
        for name, data in files.items():
            with open(os.path.join(jvm.cwd, name), "wb") as f:
                f.write(data)

    def test_verify_enroll_identify(self):
        jvm = Jvm(self, "matching")
        self.inputs(jvm)

        code, out, err = jvm.run(["verify", "ana.nfr", "ana-again.nfr"])
        self.assertEqual(0, code, out + err)
        self.assertIn("verdict:   match (", out)
        self.assertRegex(out, r"threshold: \d+ at a false match rate of 1e-3, \d+ at 1e-4\n")
        genuine, threshold = score(out)
        self.assertGreaterEqual(genuine, threshold)

        code, out, err = jvm.run(["verify", "ana.nfr", "bob.nfr"])
        self.assertEqual(1, code, out + err)
        self.assertIn("verdict:   no match (", out)
        impostor, _ = score(out)
        self.assertLess(impostor, threshold)

        # The stricter rate has the higher threshold, and decides.
        code, out, err = jvm.run(["verify", "--rate", "1e-4", "ana.nfr", "ana-again.nfr"])
        strict = score(out)[1]
        self.assertGreater(strict, threshold)
        self.assertEqual(0 if genuine >= strict else 1, code, out + err)

        # An image is extracted as extract does: against its own template it
        # scores as against itself.
        code, out, err = jvm.run(["verify", "print.bmp", "print.bmp"])
        self.assertEqual(0, code, out + err)
        itself = score(out)[0]
        code, out, err = jvm.run(["extract", "print.bmp", "--template", "print.nfr"])
        self.assertEqual(0, code, out + err)
        code, out, err = jvm.run(["verify", "print.nfr", "print.bmp"])
        self.assertEqual(0, code, out + err)
        self.assertEqual(itself, score(out)[0])

        for args in (["--code", "ana", "--finger", "1", "ana.nfr"], ["--code", "bob", "--finger", "2", "bob.nfr"],
                     ["--code", "ana", "--finger", "1", "print.bmp"]):
            code, out, err = jvm.run(["enroll", "--base", "people"] + args)
            self.assertEqual(0, code, out + err)
        self.assertIn("as template 3 (code ana, finger 1); the base %s holds 3 templates"
                      % os.path.join(jvm.cwd, "people.mv.db"), out)

        # Each command is a new JVM: the base is read back from its file.
        code, out, err = jvm.run(["identify", "--base", "people", "ana-again.nfr"])
        self.assertEqual(0, code, out + err)
        self.assertIn("1 candidate among 3 templates (least score %d, the threshold at 1e-3):" % threshold, out)
        self.assertRegex(out, r"\n +1 +%d +1 +1  ana\n" % genuine)

        code, out, err = jvm.run(["identify", "--base", "people.mv.db", "--max", "1", "--rate", "1e-2", "print.bmp"])
        self.assertEqual(0, code, out + err)
        self.assertRegex(out, r"\n +1 +%d +3 +1  ana\n" % itself)
        self.assertNotIn("\n     2 ", out)

        code, out, err = jvm.run(["identify", "--base", "people", "eve.nfr"])
        self.assertEqual(1, code, out + err)
        self.assertIn("no candidate among 3 templates", out)

    def test_exit_codes(self):
        jvm = Jvm(self)
        self.inputs(jvm)
        with open(os.path.join(jvm.cwd, "junk.mv.db"), "wb") as f:
            f.write(b"not a database" * 300)
        cases = [
            (["verify", "ana.nfr"], 2, "Missing required parameter"),
            (["verify", "ana.nfr", "missing.nfr"], 2, "missing.nfr: no such file"),
            (["verify", "ana.nfr", "notes.txt"], 2, "notes.txt is neither a BMP image nor a readable NFRecord"),
            (["verify", "--rate", "2", "ana.nfr", "bob.nfr"], 2, "--rate must be a number above 0 and at most 1"),
            (["enroll", "--base", "people", "--finger", "1", "ana.nfr"], 2, "Missing required option"),
            (["enroll", "--base", "people", "--code", "ana", "--finger", "11", "ana.nfr"], 2,
             "--finger must be 0 to 10, not 11"),
            (["enroll", "--base", "people", "--code", "", "--finger", "1", "ana.nfr"], 2, "--code must have 1 to"),
            (["enroll", "--base", "people", "--code", "ana", "--finger", "1", "notes.txt"], 2, "neither a BMP"),
            (["identify", "--base", "people", "ana.nfr"], 2, "people.mv.db: no such base; enroll creates it"),
            (["identify", "--base", "junk", "--max", "0", "ana.nfr"], 2, "--max must be 1 or more"),
            (["identify", "--base", "junk", "ana.nfr"], 3, "cannot open the base"),
            (["enroll", "--base", "junk", "--code", "ana", "--finger", "1", "ana.nfr"], 3, "cannot open the base"),
        ]
        for args, want, message in cases:
            with self.subTest(args=args):
                code, out, err = jvm.run(args)
                self.assertEqual(want, code, out + err)
                self.assertIn(message, err)
                self.assertNotIn("\tat ", err)
        # Refused enrolls left no base behind.
        self.assertFalse(os.path.exists(os.path.join(jvm.cwd, "people.mv.db")))


if __name__ == "__main__":
    unittest.main()
