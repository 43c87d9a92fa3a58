"""The command-line tool from an empty folder holding nothing but the release
jars, run with a plain JDK (no -Djava.library.path): the natives come out of
the jar."""
import math
import os
import random
import re
import signal
import struct
import subprocess
import threading
import time
import unittest

import samples

from release_env import CLI_JAR, LIB_JAR, SERIALS, VERSION, Jvm, ReleaseTest, Simulator


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
        self.assertRegex(out, r"\nimage quality \d+ of 100")
        template = os.path.join(jvm.cwd, "t.nfr")
        self.assertGreater(os.path.getsize(template), 26)
        self.assertEqual((512, 720), png_size(os.path.join(jvm.cwd, "t.png")))

        code, out, err = jvm.run(["info", "t.nfr"])
        self.assertEqual(0, code, out + err)
        self.assertIn("Minutiae:", out)
        self.assertRegex(out, r"\nimage quality \d+ of 100")
        self.assertRegex(out, r"\n\s+1\s+\d+\s+\d+\s+(ridge ending|bifurcation)\s+\d+ \(\d+\.\d deg\)")

        # The natives were taken from the jar into the per-user cache.
        (folder,) = os.listdir(jvm.cache)
        self.assertEqual({"libdactylink.so", "omr_tavoro_64.so", "OmExtract.so"},
                         set(os.listdir(os.path.join(jvm.cache, folder))))



class Interrupt(ReleaseTest):
    """A capture that ends early: Ctrl-C, and a reader that sends no image."""

    def test_ctrl_c_reports_exactly_the_files_saved(self):
        jvm = Jvm(self, "interrupt")
        # Replies 5 ms late: the capture cannot end by itself before the
        # signal comes, however busy the machine.
        Simulator(self, jvm.pipes, jvm.root, ["--delay=5"])
        # SIGINT as a terminal sends it; the child must not inherit an ignored
        # SIGINT (a background job's), or the JVM would not install its handler.
        p = subprocess.Popen(jvm.command(["capture", "--count", "1000", "--timeout", "30", "--out", "caps"]),
                             cwd=jvm.cwd, env=jvm.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.addCleanup(lambda: p.poll() is None and p.kill())
        lines = []
        reader = threading.Thread(target=lambda: [lines.append(line) for line in p.stdout], daemon=True)
        reader.start()
        end = time.monotonic() + 60
        while sum("saved" in line for line in list(lines)) < 3:
            if p.poll() is not None:
                self.fail("the capture ended early: %s %s" % (lines, p.stderr.read()))
            self.assertLess(time.monotonic(), end, "no three images within 60 s: %s" % lines)
            time.sleep(0.02)
        p.send_signal(signal.SIGINT)
        err = p.stderr.read()
        p.wait(timeout=60)
        reader.join(timeout=60)
        self.assertEqual(130, p.returncode, err)
        caps = os.path.join(jvm.cwd, "caps")
        files = os.listdir(caps)
        n = len(files)
        self.assertGreaterEqual(n, 3)
        self.assertLess(n, 1000)
        self.assertEqual(["capture-%d.bmp" % i for i in range(1, n + 1)],
                         sorted(files, key=lambda f: int(f[8:-4])))
        self.assertEqual("dactylink capture: interrupted; %d images saved in %s (capture-1.bmp to capture-%d.bmp)\n"
                         % (n, caps, n), err)
        # Every file whole, and each reported once as it was saved.
        for f in files:
            self.assertEqual(1078 + 256 * 360, os.path.getsize(os.path.join(caps, f)), f)
        self.assertEqual(n, sum("saved" in line for line in lines), "".join(lines))

    def test_a_reader_without_images_ends_with_the_time_out_message(self):
        jvm = Jvm(self, "timeout")
        Simulator(self, jvm.pipes, jvm.root, ["--status-script=1"])  # armed, and never a finger
        code, out, err = jvm.run(["capture", "--timeout", "1", "--out", "caps"])
        self.assertEqual(1, code, out + err)
        self.assertEqual("dactylink capture: only 0 of 1 images arrived (waiting 1 s for each); is a finger on the "
                         "reader? 0 images saved in %s\n" % os.path.join(jvm.cwd, "caps"), err)


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
            (["extract", "notes.txt"], 2, "notes.txt is not a picture: neither PNG, JPEG, TIFF, BMP nor GIF"),
            (["info", "notes.txt"], 2, "notes.txt is not a valid NFRecord template: it is 5 bytes long"),
            (["frobnicate"], 2, "Unmatched argument"),
            ([], 2, "missing a command"),
        ]
        for args, want, message in cases:
            with self.subTest(args=args):
                code, out, err = jvm.run(args)
                self.assertEqual(want, code, out + err)
                self.assertIn(message, err)
                self.assertNotIn("Exception in thread", err)
                self.assertNotIn("\tat ", err)
                # One prefix for every message: the tool and its command.
                self.assertTrue(err.startswith("dactylink %s: " % args[0] if args and args[0] != "frobnicate"
                                               else "dactylink: "), err)

    def test_a_failure_while_running_is_exit_code_3(self):
        # Output folder below a file: it cannot be created.
        jvm = Jvm(self)
        Simulator(self, jvm.pipes, jvm.root)
        open(os.path.join(jvm.cwd, "file"), "w").close()
        code, out, err = jvm.run(["capture", "--out", "file/sub"])
        self.assertEqual(3, code, out + err)
        self.assertIn("dactylink capture: cannot create the folder", err)
        # An output that cannot be written: the reason, no stack trace.
        with open(os.path.join(jvm.cwd, "print.bmp"), "wb") as f:
            f.write(samples.ridges())
        for args in (["--overlay", "/proc/x.png"], ["--overlay", "/proc/x.png", "--force"],
                     ["--template", "missing/t.nfr"]):
            with self.subTest(args=args):
                code, out, err = jvm.run(["extract", "print.bmp"] + args)
                self.assertEqual(3, code, out + err)
                self.assertRegex(err, r"^dactylink extract: cannot write \S+ \(no such file or folder\)\n$")


class Help(ReleaseTest):
    """What the tool prints about itself: the short usage after a wrong command line, and its help."""

    def test_option_errors_show_the_usage_line_not_the_help(self):
        jvm = Jvm(self)
        cases = [  # the command line, its first message line, the start of its usage line
            (["capture", "--count", "x"], "dactylink capture: Invalid value for option '--count': 'x' is not an int",
             "Usage: dactylink capture [-hV] [--count=N] [--out=DIR] [--reader=N] [--timeout=S]"),
            (["capture", "--count", "0"], "dactylink capture: --count must be 1 or more, not 0",
             "Usage: dactylink capture "),
            (["verify", "a.nfr"], "dactylink verify: Missing required parameter: 'B'",
             "Usage: dactylink verify [-hV] [--rate=RATE] A B"),
            (["extract", "a.bmp", "--size"], "dactylink extract: Unknown option: '--size'",
             "Usage: dactylink extract [-hV] [--force] [--overlay=PNG] [--template=NFR] IMAGE"),
            (["frobnicate"], "dactylink: Unmatched argument at index 0: 'frobnicate'", "Usage: dactylink [-hV] [COMMAND]"),
        ]
        for args, first, usage in cases:
            with self.subTest(args=args):
                code, out, err = jvm.run(args)
                self.assertEqual(2, code, out + err)
                self.assertEqual("", out)
                lines = err.splitlines()
                self.assertEqual(first, lines[0])
                self.assertTrue(any(line.startswith(usage) for line in lines), err)
                tool = "dactylink" if args[0] == "frobnicate" else "dactylink " + args[0]
                self.assertEqual("See '%s --help' for the whole help." % tool, lines[-1])
                self.assertLessEqual(len(lines), 5, err)
                self.assertNotIn("Exit codes:", err)
                self.assertNotIn("--help        Show this help", err)

    def test_help_lines_fit_80_columns_and_wrapped_exit_codes_are_indented(self):
        jvm = Jvm(self)
        for command in ([], ["list"], ["capture"], ["extract"], ["info"], ["convert"], ["verify"], ["enroll"],
                        ["identify"], ["simulate"]):
            with self.subTest(command=command):
                code, out, err = jvm.run(command + ["--help"])
                self.assertEqual(0, code, out + err)
                for line in out.splitlines():
                    self.assertLessEqual(len(line), 80, line)
                if "Exit codes:" in out:
                    codes = out.split("Exit codes:\n", 1)[1].split("\n\n", 1)[0]
                    for line in codes.splitlines():
                        self.assertRegex(line, r"^(  [0-3]  |     )\S", codes)


# How the tool refuses a file that it takes for no kind of fingerprint.
NEITHER = "is neither a picture, a finger minutiae record nor a valid NFRecord template"


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
            (["verify", "ana.nfr", "notes.txt"], 2, "notes.txt is neither a picture, a finger minutiae record nor a valid NFRecord template"),
            (["verify", "--rate", "2", "ana.nfr", "bob.nfr"], 2, "--rate must be a number above 0 and at most 1"),
            (["enroll", "--base", "people", "--finger", "1", "ana.nfr"], 2, "Missing required option"),
            (["enroll", "--base", "people", "--code", "ana", "--finger", "11", "ana.nfr"], 2,
             "--finger must be 0 to 10, not 11"),
            (["enroll", "--base", "people", "--code", "", "--finger", "1", "ana.nfr"], 2, "--code must have 1 to"),
            (["enroll", "--base", "people", "--code", "ana", "--finger", "1", "notes.txt"], 2, "neither a picture"),
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


class FileTest(ReleaseTest):
    """A working folder with a print, and the tool run on files in it."""

    def setUp(self):
        super().setUp()
        self.jvm = Jvm(self, "files")
        self.print_bmp = samples.ridges()
        self.put("print.bmp", self.print_bmp)

    def put(self, name, data):
        path = os.path.join(self.jvm.cwd, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, name):
        with open(os.path.join(self.jvm.cwd, name), "rb") as f:
            return f.read()

    def run_tool(self, args, want, message=None):
        code, out, err = self.jvm.run(args)
        self.assertEqual(want, code, "%s:\n%s%s" % (args, out, err))
        if message:
            self.assertIn(message, err, args)
        self.assertNotIn("\tat ", err)
        self.assertNotIn("Exception", err)
        return out, err


class NotTemplates(FileTest):
    """Files that are not templates, handed over as templates."""

    def test_files_that_are_not_templates_are_refused_as_templates(self):
        self.run_tool(["extract", "print.bmp", "--template", "t.nfr"], 0)
        template = self.read("t.nfr")
        self.run_tool(["enroll", "--base", "people", "--code", "ana", "--finger", "1", "t.nfr"], 0)
        rnd = random.Random(19)
        with open(LIB_JAR, "rb") as f:
            jar_head = f.read(4096)
        pixels = [int(128 + 100 * math.sin(x / 3 + y / 7)) for y in range(360) for x in range(256)]
        hostile = {
            "finger.png": samples.png(256, 360, pixels),
            "finger.jpg": samples.jpeg_head(),
            "readme.txt": b"dactylink is a fingerprint-reader toolkit for Java applications on 64-bit Windows.\n" * 4,
            "noise.bin": bytes(rnd.randint(0, 255) for _ in range(4096)),
            "head.jar": jar_head,
        }
        # Pieces of a real template: inside the header, the minutiae and the last block.
        for n in (0, 20, 26, len(template) // 2, len(template) - 1):
            hostile["cut-%d.nfr" % n] = template[:n]
        for name, data in hostile.items():
            self.put(name, data)
            with self.subTest(file=name):
                self.run_tool(["info", name], 2, name + " is not a valid NFRecord template: ")
        # verify, enroll and identify take their fingerprints alike. A file
        # beginning as a picture does is read as one; a PNG is an image.
        self.run_tool(["verify", "t.nfr", "head.jar"], 2, "head.jar %s: " % NEITHER)
        self.run_tool(["verify", "t.nfr", "finger.jpg"], 2, "finger.jpg is a JPEG file that cannot be read: ")
        code, out, err = self.jvm.run(["verify", "t.nfr", "finger.png"])
        self.assertIn(code, (0, 1), out + err)
        for name in ("noise.bin", "readme.txt"):
            with self.subTest(file=name):
                self.run_tool(["enroll", "--base", "people", "--code", "eve", "--finger", "2", name], 2,
                              name + " %s: " % NEITHER)
        for name in ("cut-26.nfr", "cut-%d.nfr" % (len(template) - 1)):
            with self.subTest(file=name):
                self.run_tool(["identify", "--base", "people", name], 2, name + " %s: " % NEITHER)
        _, err = self.run_tool(["info", "print.bmp"], 2, "print.bmp is not a valid NFRecord template: ")
        self.assertIn("it looks like a BMP picture: extract makes its template", err)
        _, err = self.run_tool(["info", "finger.png"], 2, "finger.png is not a valid NFRecord template: ")
        self.assertIn("it looks like a PNG picture: extract makes its template", err)
        out, _ = self.run_tool(["identify", "--base", "people", "t.nfr"], 0)
        self.assertIn("1 candidate among 1 template", out)


class Pictures(FileTest):
    """Images of other formats and colour, wherever the tool takes an image."""

    def test_every_format_gives_the_template_of_the_bmp(self):
        grey = samples.ridge_pixels()
        self.put("print.png", samples.png(256, 320, grey))
        self.put("colour.png", samples.png(256, 320, grey, colour=True))
        self.put("print.tif", samples.tiff(256, 320, grey))
        self.put("print24.bmp", samples.bmp24(256, 320, grey))
        out, _ = self.run_tool(["extract", "print.bmp", "--template", "bmp.nfr"], 0)
        counts = out.splitlines()[1]
        for name in ("print.png", "colour.png", "print.tif", "print24.bmp"):
            with self.subTest(file=name):
                out, _ = self.run_tool(["extract", name, "--template", name + ".nfr"], 0)
                self.assertEqual("%s: 256 x 320 pixels" % name, out.splitlines()[0])
                self.assertEqual(counts, out.splitlines()[1])
                self.assertEqual(self.read("bmp.nfr"), self.read(name + ".nfr"))
        out, _ = self.run_tool(["verify", "print.bmp", "colour.png"], 0)
        itself = score(out)[0]
        self.run_tool(["enroll", "--base", "people", "--code", "ana", "--finger", "1", "print.tif"], 0)
        out, _ = self.run_tool(["identify", "--base", "people", "print24.bmp"], 0)
        self.assertRegex(out, r"\n +1 +%d +1 +1  ana\n" % itself)


class Inputs(FileTest):
    """Images without a fingerprint, images cut short, and inputs too large to be either."""

    def test_blank_and_cut_images_give_no_template(self):
        self.put("white.bmp", samples.bmp(256, 360, [255] * (256 * 360)))
        out, err = self.run_tool(["extract", "white.bmp", "--template", "w.nfr", "--overlay", "w.png"], 1,
                                 "no items: the engine found no minutiae in white.bmp")
        self.assertIn("image quality 0 of 100: Place more of your finger flat on the reader", out)
        self.assertFalse(os.path.exists(os.path.join(self.jvm.cwd, "w.nfr")))
        self.assertFalse(os.path.exists(os.path.join(self.jvm.cwd, "w.png")))
        self.run_tool(["enroll", "--base", "people", "--code", "ana", "--finger", "1", "white.bmp"], 1, "no items")
        self.assertFalse(os.path.exists(os.path.join(self.jvm.cwd, "people.mv.db")))

        # A BMP cut short reads with its missing rows black: not a fingerprint to extract from.
        self.put("cut.bmp", self.print_bmp[:5000])
        cut = ("cut.bmp is cut short: its header announces %d bytes of a 256 x 320 image, the file has 5000"
               % len(self.print_bmp))
        self.run_tool(["enroll", "--base", "people", "--code", "ana", "--finger", "1", "print.bmp"], 0)
        for args in (["extract", "cut.bmp"], ["verify", "print.bmp", "cut.bmp"],
                     ["enroll", "--base", "people", "--code", "ana", "--finger", "1", "cut.bmp"],
                     ["identify", "--base", "people", "cut.bmp"]):
            with self.subTest(args=args):
                self.run_tool(args, 2, cut)
        # One byte short is short too; a byte more is fine.
        self.put("cut.bmp", self.print_bmp[:-1])
        self.run_tool(["extract", "cut.bmp"], 2, "cut.bmp is cut short")
        self.put("longer.bmp", self.print_bmp + b"\0")
        self.run_tool(["extract", "longer.bmp"], 0)

    def test_inputs_are_read_up_to_a_cap(self):
        self.run_tool(["info", "/dev/zero"], 2, "/dev/zero is larger than 64 MiB")
        with open(os.path.join(self.jvm.cwd, "huge.bmp"), "wb") as f:
            f.truncate(65 << 20)  # sparse: costs no disk
        self.run_tool(["verify", "huge.bmp", "print.bmp"], 2, "huge.bmp is larger than 64 MiB")
        out, _ = self.run_tool(["--help"], 0)
        self.assertIn("is larger than 64 MiB", out)


class Outputs(FileTest):
    """Output files that must not be written over."""

    def test_outputs_are_replaced_only_with_force_and_the_input_never(self):
        keep = b"a picture worth keeping"
        self.put("keep.bmp", keep)
        for force in ([], ["--force"]):
            self.run_tool(["extract", "print.bmp", "--template", "print.bmp", "--overlay", "keep.bmp"] + force, 2,
                          "print.bmp is the input print.bmp; an input is never written over, not even with --force")
            self.assertEqual(self.print_bmp, self.read("print.bmp"))
            self.assertEqual(keep, self.read("keep.bmp"))
        # Checked before any work: nothing is written when one output may not be.
        self.run_tool(["extract", "print.bmp", "--template", "t.nfr", "--overlay", "keep.bmp"], 2,
                      "keep.bmp exists; --force replaces it")
        self.assertFalse(os.path.exists(os.path.join(self.jvm.cwd, "t.nfr")))
        self.assertEqual(keep, self.read("keep.bmp"))
        self.run_tool(["extract", "print.bmp", "--template", "t.nfr", "--overlay", "keep.bmp", "--force"], 0)
        self.assertEqual(b"\x89PNG", self.read("keep.bmp")[:4])
        template = self.read("t.nfr")
        self.run_tool(["extract", "print.bmp", "--template", "t.nfr"], 2, "t.nfr exists; --force replaces it")

        # Other names of the input: a link, a hard link, another spelling of its path.
        os.symlink("print.bmp", os.path.join(self.jvm.cwd, "alias.nfr"))
        os.link(os.path.join(self.jvm.cwd, "print.bmp"), os.path.join(self.jvm.cwd, "hard.nfr"))
        os.mkdir(os.path.join(self.jvm.cwd, "sub"))
        for name in ("alias.nfr", "hard.nfr", "sub/../print.bmp", os.path.join(self.jvm.cwd, "print.bmp")):
            with self.subTest(output=name):
                self.run_tool(["extract", "print.bmp", "--template", name, "--force"], 2, "is the input print.bmp")
        self.assertEqual(self.print_bmp, self.read("print.bmp"))
        self.run_tool(["extract", "print.bmp", "--template", "o.nfr", "--overlay", "sub/../o.nfr"], 2,
                      "are the same file")

        # --force replaces a link by a file, never the file it points to.
        victim = self.put("victim.txt", b"not the tool's")
        os.symlink(victim, os.path.join(self.jvm.cwd, "link.png"))
        self.run_tool(["extract", "print.bmp", "--overlay", "link.png", "--force"], 0)
        self.assertFalse(os.path.islink(os.path.join(self.jvm.cwd, "link.png")))
        self.assertEqual(b"not the tool's", self.read("victim.txt"))
        self.assertEqual(template, self.read("t.nfr"))


class HostileBases(ReleaseTest):
    """Bases named, filled and damaged as a careless or hostile user would, never harming the user."""

    def setUp(self):
        super().setUp()
        self.jvm = Jvm(self, "bases")
        self.files = {"ana.nfr": samples.template(samples.finger(1)), "bob.nfr": samples.template(samples.finger(2)),
                      "blank.nfr": samples.template([]), "two.nfr": samples.template(samples.finger(1)[:2])}
        for name, data in self.files.items():
            with open(os.path.join(self.jvm.cwd, name), "wb") as f:
                f.write(data)

    def path(self, name):
        return os.path.join(self.jvm.cwd, name)

    def enroll(self, base, code, finger, template):
        return self.jvm.run(["enroll", "--base", base, "--code", code, "--finger", str(finger), template])

    def sql(self, base, statement):
        """Runs SQL on a base by hand, with H2's own shell (inside the tool's jar)."""
        code, out, err = self.jvm.run(["-cp", os.path.basename(CLI_JAR), "org.h2.tools.Shell", "-url",
                                       "jdbc:h2:file:./" + base, "-sql", statement], jar=False)
        self.assertEqual(0, code, out + err)

    def assertClean(self, err):
        self.assertNotIn("\tat ", err)
        self.assertNotIn("Exception in", err)

    def test_a_base_name_runs_nothing(self):
        for who in ("ana", "bob"):
            self.assertEqual(0, self.enroll("victim", who, 1, who + ".nfr")[0])
        names = ["victim;INIT=DELETE FROM FINGERPRINT_TEMPLATES",
                 "x;INIT=CREATE ALIAS TOUCH AS $$void t(String f) throws Exception "
                 "{ java.nio.file.Files.createFile(java.nio.file.Path.of(f))\\; }$$\\;CALL TOUCH('pwned')"]
        for name in names:
            with self.subTest(name=name):
                code, out, err = self.enroll(name, "eve", 2, "bob.nfr")
                self.assertEqual(3, code, out + err)
                self.assertIn("holds ';', which the H2 database reads as the start of its settings", err)
                self.assertClean(err)
        self.assertFalse(os.path.exists(self.path("pwned")))
        self.assertEqual(["ana.nfr", "blank.nfr", "bob.nfr", "two.nfr", "victim.commit", "victim.mv.db"],
                         sorted(f for f in os.listdir(self.jvm.cwd) if not f.endswith(".jar")))
        code, out, err = self.jvm.run(["identify", "--base", "victim", "bob.nfr"])
        self.assertEqual(0, code, out + err)
        self.assertIn("1 candidate among 2 templates", out)

    def test_codes_never_reach_the_output_raw(self):
        forged = "mallory\n     1    999        9      1  alice\x1b[0m"
        code, out, err = self.enroll("people", forged, 1, "ana.nfr")
        self.assertEqual(2, code, out + err)
        self.assertIn("--code is refused: The code holds the control character U+000A at position 7", err)
        self.assertFalse(os.path.exists(self.path("people.mv.db")))

        self.assertEqual(0, self.enroll("people", "ana", 1, "ana.nfr")[0])
        # Rows another program wrote: a forged code over ana's template, and bytes that are no template.
        self.sql("people", "INSERT INTO FINGERPRINT_TEMPLATES (CODE, FINGER, TEMPLATE) SELECT 'mallory' || CHAR(10) "
                 "|| '     1    999        9      1  alice' || CHAR(27) || '[0m\\', 1, TEMPLATE "
                 "FROM FINGERPRINT_TEMPLATES")
        self.sql("people", "INSERT INTO FINGERPRINT_TEMPLATES (CODE, FINGER, TEMPLATE) VALUES ('junk', 1, X'00010203')")
        code, out, err = self.jvm.run(["identify", "--base", "people", "ana.nfr"])
        self.assertEqual(0, code, out + err)
        self.assertIn("2 candidates among 2 templates", out)
        self.assertIn("  mallory\\n     1    999        9      1  alice\\u001B[0m\\\\\n", out)
        self.assertNotIn("\x1b", out)
        self.assertEqual(4, len(out.splitlines()), out)  # the heading, the column names, two candidates
        self.assertIn("warning: 1 row of the base is not a template and left out of the search (id 3)", err)

    def test_blank_templates_are_refused_and_explained(self):
        code, out, err = self.enroll("people", "ana", 1, "blank.nfr")
        self.assertEqual(1, code, out + err)
        self.assertIn("blank.nfr is an NFRecord template without minutiae", err)
        code, out, err = self.enroll("people", "ana", 1, "two.nfr")
        self.assertEqual(1, code, out + err)
        self.assertIn("nothing enrolled from two.nfr: The template has 2 minutiae: the matcher needs at least 3",
                      err)
        self.assertEqual(0, self.enroll("people", "ana", 1, "ana.nfr")[0])
        code, out, err = self.jvm.run(["identify", "--base", "people", "two.nfr"])
        self.assertEqual(1, code, out + err)
        self.assertIn("no candidate among 1 template", out)
        self.assertIn("the fingerprint has only 2 minutiae, and a match needs at least 3", out)

    def test_bases_that_cannot_be_made_or_are_damaged(self):
        code, out, err = self.enroll("/proc/x", "ana", 1, "ana.nfr")
        self.assertEqual(3, code, out + err)
        self.assertIn("cannot open the base /proc/x.mv.db (Cannot create the fingerprint base /proc/x.mv.db", err)
        self.assertClean(err)
        self.assertEqual("", out)

        for k in range(3):
            self.assertEqual(0, self.enroll("people", "p%d" % k, 1, ("ana.nfr", "bob.nfr")[k % 2])[0])
        with open(self.path("people.mv.db"), "rb") as f:
            whole = f.read()
        with open(self.path("people.mv.db"), "wb") as f:
            f.write(whole[:len(whole) // 2])
        for args in (["identify", "--base", "people", "ana.nfr"], ["--code", "q", "--finger", "2", "bob.nfr"]):
            with self.subTest(args=args):
                cmd = args if args[0] == "identify" else ["enroll", "--base", "people"] + args
                code, out, err = self.jvm.run(cmd)
                self.assertEqual(3, code, out + err)
                self.assertRegex(err, r"older than its last commit|cannot be read: it is damaged")
                self.assertClean(err)
                with open(self.path("people.mv.db"), "rb") as f:
                    self.assertEqual(whole[:len(whole) // 2], f.read(), "the damaged base was written")


class Records(FileTest):
    """convert, and the standard minutiae records wherever the tool takes a template."""

    def test_convert_and_match_through_the_records(self):
        self.run_tool(["extract", "print.bmp", "--template", "t.nfr"], 0)
        out, _ = self.run_tool(["convert", "t.nfr", "t.iso", "--to", "iso"], 0)
        self.assertRegex(out, r"t\.nfr \(an NFRecord template, \d+ minutiae\) -> .*t\.iso \(an ISO/IEC "
                              r"19794-2:2005 record, \d+ bytes\)")
        self.run_tool(["convert", "print.bmp", "t.ansi", "--to", "ANSI", "--finger", "2"], 0)
        iso, ansi = self.read("t.iso"), self.read("t.ansi")
        self.assertEqual(b"FMR\0 20\0", iso[:8])
        self.assertEqual(len(iso), struct.unpack(">I", iso[8:12])[0])
        self.assertEqual(len(ansi), struct.unpack(">H", ansi[8:10])[0])
        self.assertEqual((256, 320), struct.unpack(">HH", iso[14:18]))
        self.assertEqual(2, ansi[26])  # the finger named
        self.run_tool(["convert", "t.ansi", "back.nfr", "--to", "nfrecord"], 0)

        # Through ISO the template keeps its minutiae, their ridge periods come back
        # (roughly) from the ridge counts: it scores near what it scores against
        # itself; every record matches the others.
        itself = score(self.run_tool(["verify", "t.nfr", "t.nfr"], 0)[0])[0]
        through = score(self.run_tool(["verify", "t.nfr", "t.iso"], 0)[0])[0]
        self.assertLessEqual(through, itself)
        self.assertGreater(through, itself // 2)
        for a, b in (("t.nfr", "t.iso"), ("t.iso", "t.ansi"), ("back.nfr", "print.bmp"), ("t.ansi", "t.nfr")):
            with self.subTest(pair=(a, b)):
                self.run_tool(["verify", "--rate", "1e-4", a, b], 0)
        self.run_tool(["enroll", "--base", "people", "--code", "ana", "--finger", "2", "t.ansi"], 0)
        out, _ = self.run_tool(["identify", "--base", "people", "t.iso"], 0)
        self.assertIn("1 candidate among 1 template", out)
        out, _ = self.run_tool(["info", "t.ansi"], 0)
        self.assertIn("an ANSI INCITS 378-2004 record; the items of its first finger view:", out)

        # The outputs rule of every command: no file replaced without --force, the input never.
        self.run_tool(["convert", "t.nfr", "t.iso", "--to", "iso"], 2, "t.iso exists; --force replaces it")
        self.assertEqual(iso, self.read("t.iso"))
        self.run_tool(["convert", "t.iso", "t.iso", "--to", "iso", "--force"], 2, "is the input t.iso")
        self.run_tool(["convert", "t.ansi", "t.iso", "--to", "iso", "--force"], 0)

    def test_records_written_by_hand_and_malformed_ones(self):
        two = samples.minutiae_record([(2, [(1, 100, 150, 64, 60), (2, 200, 50, 128, 0)]),
                                       (2, [(1, 10, 20, 16, 50)])])
        self.put("two.iso", two)
        self.put("one.ansi", samples.minutiae_record([(7, [(1, 30, 40, 45, 20)])], ansi=True))
        self.run_tool(["convert", "two.iso", "second.nfr", "--to", "nfrecord", "--view", "1"], 0)
        out, _ = self.run_tool(["info", "second.nfr"], 0)
        self.assertRegex(out, r"\n\s+1\s+10\s+20\s+ridge ending\s+16 ")
        out, _ = self.run_tool(["info", "one.ansi"], 0)
        self.assertRegex(out, r"\n\s+1\s+30\s+40\s+ridge ending\s+64 ")

        self.put("cut.iso", two[:-1])
        self.put("outside.ansi", samples.minutiae_record([(7, [(1, 300, 40, 45, 20)])], ansi=True))
        cases = [
            (["verify", "cut.iso", "two.iso"], 2, "cut.iso is not a valid finger minutiae record: "),
            (["enroll", "--base", "people", "--code", "a", "--finger", "1", "outside.ansi"], 2,
             "lies at (300, 40), outside the 300 x 400 image"),
            (["convert", "two.iso", "x.nfr", "--to", "nfrecord", "--view", "2"], 2,
             "two.iso: The record holds 2 finger views; there is no view 2"),
            (["convert", "print.bmp", "x.iso", "--to", "jpeg"], 2, "--to must be iso, ansi or nfrecord"),
            (["convert", "two.iso", "x.nfr", "--to", "nfrecord", "--finger", "1"], 2, "--finger names the finger"),
            (["convert", "two.iso", "x.iso", "--to", "iso", "--finger", "11"], 2, "--finger must be 0 to 10"),
        ]
        for args, want, message in cases:
            with self.subTest(args=args):
                self.run_tool(args, want, message)
        self.assertFalse(os.path.exists(os.path.join(self.jvm.cwd, "x.nfr")))
        self.assertFalse(os.path.exists(os.path.join(self.jvm.cwd, "people.mv.db")))


if __name__ == "__main__":
    unittest.main()
