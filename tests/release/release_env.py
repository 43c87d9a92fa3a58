"""What the release tests share: the release files, fresh folders, running
java and the sensor simulator. Paths come from the environment that ctest
sets (tests/release/CMakeLists.txt)."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

DIST = os.environ.get("DL_DIST", "")
VERSION = os.environ.get("DL_VERSION", "")
JAVA = os.environ.get("DL_JAVA", "java")
JAVAC = os.environ.get("DL_JAVAC", "javac")
JAVA_SRC = os.environ.get("DL_JAVA_SRC", "")
SIM = os.environ.get("DL_TAVORO_SIM", "")
WORK = os.environ.get("DL_WORK", "")

LIB_JAR = os.path.join(DIST, "dactylink-%s.jar" % VERSION)
CLI_JAR = os.path.join(DIST, "dactylink-cli-%s.jar" % VERSION)
SOURCES_JAR = os.path.join(DIST, "dactylink-%s-sources.jar" % VERSION)
JAVADOC_JAR = os.path.join(DIST, "dactylink-%s-javadoc.jar" % VERSION)
WINDOWS_ZIP = os.path.join(DIST, "dactylink-%s-windows-x64.zip" % VERSION)
ALL = [LIB_JAR, CLI_JAR, SOURCES_JAR, JAVADOC_JAR, WINDOWS_ZIP]

# Serial words of the simulated sensors. Every test's JVMs keep their reader
# claims in a folder of that test (DACTYLINK_CLAIM_DIR), so tests running side
# by side, or a run in another build, never hold each other's readers.
SERIALS = ["5E1EA5E0", "5E1EA5E1"]


def require_release(test):
    """Fails (never skips) when the release folder has not been built."""
    if not (DIST and VERSION and WORK):
        test.fail("run through ctest: DL_DIST, DL_VERSION and DL_WORK are not set")
    missing = [f for f in ALL if not os.path.isfile(f)]
    if missing:
        test.fail("the release folder lacks %s; build the target dist first (scripts/test.sh and "
                  "scripts/package.sh do)" % ", ".join(missing))


def fresh_dir(test, name):
    """An empty folder of this run, removed at the end of the test."""
    os.makedirs(WORK, exist_ok=True)
    d = tempfile.mkdtemp(prefix=name + "-", dir=WORK)
    test.addCleanup(shutil.rmtree, d, True)
    return d


class Jvm:
    """java -jar runs as a new user would: its own empty home, temporary folder and working folder."""

    def __init__(self, test, name="user"):
        self.root = fresh_dir(test, name)
        self.home = os.path.join(self.root, "home")
        self.tmp = os.path.join(self.root, "tmp")
        self.cwd = os.path.join(self.root, "work")
        for d in (self.home, self.tmp, self.cwd):
            os.mkdir(d)
        self.pipes = os.path.join(self.root, "pipes")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("XDG_CACHE_HOME", "LD_LIBRARY_PATH", "JAVA_TOOL_OPTIONS", "CLASSPATH",
                                 "DACTYLINK_TRACE")}
        self.env["DACTYLINK_PIPE_DIR"] = self.pipes
        # Reader claims of this folder only: runs of other builds on the
        # machine serve sensors of the same serials.
        self.env["DACTYLINK_CLAIM_DIR"] = os.path.join(self.root, "claims")
        self.env["TMPDIR"] = self.tmp
        self.env["DACTYLINK_CLAIM_DIR"] = os.path.join(self.root, "claims")
        self.props = {"user.home": self.home, "java.io.tmpdir": self.tmp}
        # Only the release jars, copied into the working folder.
        for jar in (LIB_JAR, CLI_JAR):
            shutil.copy(jar, self.cwd)

    @property
    def cache(self):
        return os.path.join(self.home, ".cache", "dactylink", VERSION)

    def command(self, args, props=None, jar=True):
        p = dict(self.props)
        p.update(props or {})
        cmd = [JAVA] + ["-D%s=%s" % kv for kv in p.items()]
        if jar:
            cmd += ["-jar", os.path.basename(CLI_JAR)]
        return cmd + list(args)

    def start(self, args, props=None, jar=True):
        return subprocess.Popen(self.command(args, props, jar), cwd=self.cwd, env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def run(self, args, props=None, timeout=100, jar=True):
        p = self.start(args, props, jar)
        try:
            out, err = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            out, err = p.communicate()
            raise AssertionError("%s did not end within %d s:\n%s\n%s" % (args, timeout, out, err))
        return p.returncode, out, err


class Simulator:
    """tavoro-sim with two sensors serving in the given folder, for the length of a test."""

    def __init__(self, test, pipes, root, extra=()):
        if not SIM or not os.access(SIM, os.X_OK):
            test.fail("DL_TAVORO_SIM does not name the simulator: %r" % SIM)
        os.makedirs(pipes, exist_ok=True)
        self.log = os.path.join(root, "tavoro-sim.log")
        cmd = [SIM, "--sensors=2", "--log", "--size=256x360", "--fast", "--finger-after=1"]
        cmd += ["--sensor%d-serial=%s" % (i, s) for i, s in enumerate(SERIALS)] + list(extra)
        env = dict(os.environ, DACTYLINK_PIPE_DIR=pipes)
        with open(self.log, "w") as log:
            self.proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, env=env)
        test.addCleanup(self.stop)
        end = time.monotonic() + 60
        while "serving 2 sensor" not in self.output():
            if self.proc.poll() is not None:
                test.fail("the simulator ended at start:\n" + self.output())
            if time.monotonic() > end:
                test.fail("the simulator does not serve:\n" + self.output())
            time.sleep(0.05)

    def output(self):
        with open(self.log) as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=20)


class ReleaseTest(unittest.TestCase):
    def setUp(self):
        require_release(self)
