"""The README's Maven example: the release folder's first application
(example/) built in a fresh folder with Debian's Maven, offline, against the
release folder's Maven repository (and Debian's packaged plugins and H2),
then run against the release's simulator."""
import os
import shutil
import struct
import subprocess
import unittest

from release_env import DIST, SERIALS, VERSION, Jvm, ReleaseTest

MVN = os.environ.get("DL_MVN", "")
JAVA_SRC = os.environ.get("DL_JAVA_SRC", "")


class Maven(ReleaseTest):
    def test_first_application_builds_offline_and_runs(self):
        if not MVN or not os.access(MVN, os.X_OK):
            self.fail("DL_MVN does not name Debian's mvn (scripts/setup.sh installs maven): %r" % MVN)
        repo = os.path.join(DIST, "maven")
        if not os.path.isfile(os.path.join(repo, "ardivex", "dactylink", VERSION, "dactylink-%s.pom" % VERSION)):
            self.fail("the release folder has no Maven repository in " + repo)
        jvm = Jvm(self, "maven")
        app = os.path.join(jvm.cwd, "first-steps")
        shutil.copytree(os.path.join(DIST, "example"), app)
        # The example is the very file that the build compiles and the Javadoc shows.
        with open(os.path.join(JAVA_SRC, "..", "example", "src", "main", "java", "example", "FirstSteps.java")) as a, \
                open(os.path.join(app, "src", "main", "java", "example", "FirstSteps.java")) as b:
            self.assertEqual(a.read(), b.read())
        settings = os.path.join(app, "debian-settings.xml")

        # The release's own simulator, one sensor with this build's serial.
        os.makedirs(jvm.pipes)
        log = open(os.path.join(jvm.root, "tavoro-sim.log"), "w")
        self.addCleanup(log.close)
        sim = subprocess.Popen([os.path.join(DIST, "tavoro-sim"), "--sensor0-serial=" + SERIALS[0]],
                               stdout=log, stderr=subprocess.STDOUT, env=jvm.env)
        self.addCleanup(sim.wait, 20)
        self.addCleanup(sim.kill)

        env = dict(jvm.env, HOME=jvm.home,
                   MAVEN_OPTS="-Duser.home=%s -Djava.io.tmpdir=%s" % (jvm.home, jvm.tmp))
        java_home = os.path.dirname(os.path.dirname(os.path.realpath(shutil.which(os.environ.get("DL_JAVA", "java")))))
        env["JAVA_HOME"] = java_home
        # Offline, yet the file: repositories (the release's and Debian's) are read.
        cmd = [MVN, "-B", "-o", "-q", "-s", settings, "-Daether.offline.protocols=file",
               "-Dmaven.repo.local=" + os.path.join(jvm.root, "m2"), "-Ddactylink.repository=file://" + repo,
               "-Ddactylink.version=" + VERSION, "compile", "exec:java"]
        try:
            p = subprocess.run(cmd, cwd=app, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               timeout=240)
        except subprocess.TimeoutExpired as e:
            self.fail("mvn did not end within 240 s:\n%s" % (e.output or ""))
        out = p.stdout
        self.assertEqual(0, p.returncode, out)
        self.assertIn("1 reader(s)\n  Tavoro\\" + SERIALS[0] + "\n", out)
        self.assertIn("Saved first.bmp, 256 x 360 pixels", out)
        self.assertRegex(out, r"Templates of \d\d+ and \d\d+ minutiae")
        self.assertRegex(out, r"Identified: ana, finger 1, score \d+")
        with open(os.path.join(app, "first.bmp"), "rb") as f:
            head = f.read(30)
        self.assertEqual(b"BM", head[:2])
        self.assertEqual(8, struct.unpack_from("<H", head, 28)[0])
        # Taken from the release's repository, whose checksums Maven checked (the pom fails on a wrong one).
        local = os.path.join(jvm.root, "m2", "ardivex", "dactylink", VERSION)
        self.assertTrue(os.path.isfile(os.path.join(local, "dactylink-%s.jar" % VERSION)), os.listdir(jvm.root))


if __name__ == "__main__":
    unittest.main()
