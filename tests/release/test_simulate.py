"""dactylink-cli simulate from an empty folder: the simulator that the tool's
jar carries serves readers that the other commands (and so applications)
find, takes fault commands from its control file, and goes away with every
file it made when the tool is stopped."""
import os
import re
import signal
import threading
import time
import unittest

from release_env import SERIALS, Jvm, ReleaseTest


class Output:
    """The lines a process writes, collected on a thread of their own."""

    def __init__(self, stream):
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.read, args=(stream,), daemon=True)
        self.thread.start()

    def read(self, stream):
        for line in stream:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def text(self):
        with self.lock:
            return "\n".join(self.lines)

    def wait_for(self, pattern, test, seconds=60):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            m = re.search(pattern, self.text())
            if m:
                return m
            time.sleep(0.05)
        test.fail("no %r within %d s in:\n%s" % (pattern, seconds, self.text()))


class Simulate(ReleaseTest):
    def test_serves_readers_takes_faults_and_cleans_up(self):
        jvm = Jvm(self, "simulate")
        serials = ["--sensor%d-serial=%s" % (i, s) for i, s in enumerate(SERIALS)]
        proc = jvm.start(["simulate", "--sensors", "2", "--seconds", "110", "--"] + serials)
        self.addCleanup(proc.wait, 20)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        out = Output(proc.stdout)
        err = Output(proc.stderr)
        m = out.wait_for(r"Inject a fault by appending a command to (\S+), for example", self)
        control = m.group(1)
        text = out.text()
        self.assertIn("Simulated Tavoro device service with 2 sensors, until stopped (Ctrl-C):", text)
        for s in SERIALS:
            self.assertIn("  reader Tavoro\\%s (256x360, 3 fingers, 4 touches each, 10 images a second" % s, text)
        self.assertIn("in the pipe folder " + jvm.pipes + "\n", text)
        # The simulator and its control file lie in a private temporary folder.
        (made,) = [d for d in os.listdir(jvm.tmp) if d.startswith("dactylink-sim-")]
        self.assertEqual(os.path.join(jvm.tmp, made, "control.txt"), control)
        self.assertEqual(0o700, os.stat(os.path.join(jvm.tmp, made)).st_mode & 0o777)

        code, listed, e = jvm.run(["list"])
        self.assertEqual(0, code, listed + e)
        self.assertIn("2 readers:", listed)
        code, captured, e = jvm.run(["capture", "--count", "2", "--timeout", "30", "--out", "captures"])
        self.assertEqual(0, code, captured + e)
        self.assertEqual(2, len(os.listdir(os.path.join(jvm.cwd, "captures"))))

        # A reader unplugged is no longer listed; plugged back, it is again.
        with open(control, "a") as f:
            f.write("unplug 1\n")
        out.wait_for(r"tavoro-sim: unplug 1 \(faults so far: 1\)", self)
        code, listed, e = jvm.run(["list"])
        self.assertIn("1 reader:", listed)
        self.assertNotIn(SERIALS[1], listed)
        with open(control, "a") as f:
            f.write("plug 1\n")
        out.wait_for(r"tavoro-sim: plug 1", self)
        code, listed, e = jvm.run(["list"])
        self.assertIn("2 readers:", listed)

        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)
        out.thread.join(10)
        self.assertIn("The simulation stopped.", out.text())
        self.assertEqual([], [d for d in os.listdir(jvm.tmp) if d.startswith("dactylink-sim-")])
        self.assertNotIn("Exception", err.text())

    def test_enroll_and_identify_at_a_reader(self):
        jvm = Jvm(self, "enroll")
        proc = jvm.start(["simulate", "--fingers", "1", "--seconds", "150"])
        self.addCleanup(proc.wait, 20)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        out = Output(proc.stdout)
        out.wait_for(r"Inject a fault by appending a command to", self)
        code, enrolled, e = jvm.run(["enroll", "--base", "people", "--reader", "0", "--code", "alice", "--finger", "1"])
        self.assertEqual(0, code, enrolled + e)
        self.assertIn("touch 1 of 3: Place your finger on the reader", enrolled)
        self.assertIn("touch 2 of 3: Place the same finger again", enrolled)
        self.assertRegex(enrolled, r"enrolled the finger on reader 0 as templates 1 to 3 \(code alice, finger 1, "
                                   r"quality \d+\)")
        code, found, e = jvm.run(["identify", "--base", "people", "--reader", "0"])
        self.assertEqual(0, code, found + e)
        self.assertRegex(found, r"\n +1 +\d+ +\d+ +1  alice\n")
        # The same finger under another code is refused, and the base keeps its three templates.
        code, again, e = jvm.run(["enroll", "--base", "people", "--reader", "0", "--code", "bob", "--finger", "1"])
        self.assertEqual(1, code, again + e)
        self.assertIn("the finger is enrolled already under code alice", e)
        self.assertNotIn("\tat ", e)
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)

    def test_refused_options(self):
        jvm = Jvm(self)
        cases = [
            (["simulate", "--sensors", "0"], "--sensors must be 1 to 64, not 0"),
            (["simulate", "--", "plain"], "options of the simulator start with --, not: plain"),
            (["simulate", "--", "--sensors=3"], "give --sensors to simulate itself"),
            (["simulate", "--", "--frobnicate=1"], "unknown option --frobnicate"),
            (["simulate", "--fast", "--fingers", "2"], "--fingers sets the realistic sensor's touches: leave out --fast"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                code, out, err = jvm.run(args)
                self.assertEqual(2, code, out + err)
                self.assertIn(message, out + err)
                self.assertNotIn("\tat ", err)
        self.assertEqual([], [d for d in os.listdir(jvm.tmp) if d.startswith("dactylink-sim-")])


if __name__ == "__main__":
    unittest.main()
